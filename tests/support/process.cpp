#include "process.h"

#include <sys/prctl.h>

namespace sonarello::test
{

namespace
{

QString text(const std::string& s)
{
    return QString::fromStdString(s);
}

void prepare(QProcess& process, const std::vector<std::string>& argv, const Environment& env)
{
    QStringList arguments;
    for (std::size_t i = 1; i < argv.size(); ++i)
        arguments << text(argv[i]);
    process.setProgram(text(argv.at(0)));
    process.setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : env)
        value.empty() ? environment.remove(text(name))
                      : environment.insert(text(name), text(value));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
}

int milliseconds(std::chrono::milliseconds d) // never negative: -1 would wait for ever
{
    return d.count() > 0 ? static_cast<int>(d.count()) : 0;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& folder,
                         const Environment& env, std::chrono::milliseconds limit,
                         std::chrono::milliseconds terminateAfter, int terminateSignal)
{
    QProcess process;
    prepare(process, argv, env);
    process.setWorkingDirectory(text(folder));
    process.start();
    ProcessResult result;
    if (!process.waitForStarted())
        return result;
    if (terminateAfter.count() > 0 && !process.waitForFinished(milliseconds(terminateAfter)))
        ::kill(static_cast<pid_t>(process.processId()), terminateSignal);
    if (!process.waitForFinished(milliseconds(limit - terminateAfter)))
    {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput().toStdString();
    result.err = process.readAllStandardError().toStdString();
    return result;
}

Daemon::Daemon(const std::vector<std::string>& argv, const Environment& env)
{
    prepare(process_, argv, env);
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start();
    process_.waitForStarted();
}

Daemon::~Daemon()
{
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished();
}

} // namespace sonarello::test
