#include "signals.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace sonarello
{

namespace
{

int signalPipeWrite = -1;

// Signal context: only writes one byte.
extern "C" void onCloseSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipeWrite, &byte, 1);
}

} // namespace

struct CloseOnSignals::Impl
{
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previousInt
    {
    };
    struct sigaction previousTerm
    {
    };
    struct sigaction previousHangUp
    {
    };
};

CloseOnSignals::CloseOnSignals(gui::Window& window) : impl_(std::make_unique<Impl>())
{
    if (::pipe2(impl_->fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    signalPipeWrite = impl_->fds[1];
    impl_->notifier = std::make_unique<QSocketNotifier>(impl_->fds[0], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated,
                     [this, &window]
                     {
                         char buffer[16];
                         while (::read(impl_->fds[0], buffer, sizeof buffer) > 0)
                         {
                         }
                         window.sendMessage(gui::message::kCommand, gui::message::kCancelCommand,
                                            0);
                     });
    struct sigaction action
    {
    };
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &impl_->previousInt);
    ::sigaction(SIGTERM, &action, &impl_->previousTerm);
    ::sigaction(SIGHUP, &action, &impl_->previousHangUp);
}

CloseOnSignals::~CloseOnSignals()
{
    if (impl_->fds[0] < 0)
        return;
    ::sigaction(SIGINT, &impl_->previousInt, nullptr);
    ::sigaction(SIGTERM, &impl_->previousTerm, nullptr);
    ::sigaction(SIGHUP, &impl_->previousHangUp, nullptr);
    impl_->notifier.reset();
    signalPipeWrite = -1;
    ::close(impl_->fds[0]);
    ::close(impl_->fds[1]);
}

} // namespace sonarello
