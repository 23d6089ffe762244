#include "instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace sonarello::os
{

std::string InstanceLock::folder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return runtime;
    std::error_code ec;
    return std::filesystem::temp_directory_path(ec).string();
}

InstanceLock::InstanceLock(const std::string& name)
{
    const std::string path = folder() + "/" + name;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
        state_ = State::Held;
    else
        state_ = errno == EWOULDBLOCK ? State::HeldElsewhere : State::Unavailable;
}

InstanceLock::~InstanceLock()
{
    release();
}

void InstanceLock::release()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace sonarello::os
