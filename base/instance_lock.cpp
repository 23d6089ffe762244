#include "instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonarello::os
{

namespace
{

// A folder of ours that nobody else may write, so nobody else can hold or plant the lock.
bool onlyOursToWrite(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

std::string InstanceLock::folder()
{
    struct stat st
    {
    };
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && ::stat(runtime, &st) == 0 && onlyOursToWrite(st) &&
        ::access(runtime, W_OK) == 0)
        return runtime;
    // Else one folder per user in the shared temporary folder, made ours alone; one that
    // another user made, or a link planted in its place, is refused.
    std::error_code ec;
    const std::string own =
        (std::filesystem::temp_directory_path(ec) / ("sonarello-" + std::to_string(::geteuid())))
            .string();
    ::mkdir(own.c_str(), 0700);
    if (::lstat(own.c_str(), &st) == 0 && onlyOursToWrite(st))
        return own;
    return "";
}

InstanceLock::InstanceLock(const std::string& name)
{
    const std::string at = folder();
    if (at.empty())
        return;
    const std::string path = at + "/" + name;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
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
