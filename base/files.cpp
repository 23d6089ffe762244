#include "files.h"

#include "base/raii.h"

#include "base/text.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sonarello::os
{

namespace
{

bool isRegularFile(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty())
    {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Owns a file descriptor: every way out closes it.
struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr std::size_t kTemporaryLetters = 6;
constexpr int kTemporaryAttempts = 100;
constexpr int kMaxLinkHops = 40;

bool isOurTemporary(const std::string& name, const std::string& prefix)
{
    return name.size() == prefix.size() + kTemporaryLetters && name.starts_with(prefix);
}

// Temporary files that saves killed half-way left beside `path`: only our own names, only
// regular files, so they never pile up.
void removeLeftTemporaries(const std::filesystem::path& path)
{
    const std::string prefix = path.filename().string() + std::string(kTemporaryMark);
    std::error_code ec;
    const auto folder = path.has_parent_path() ? path.parent_path() : ".";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (isOurTemporary(entry.path().filename().string(), prefix) &&
            entry.symlink_status(ec).type() == std::filesystem::file_type::regular)
            std::filesystem::remove(entry.path(), ec);
}

// Exclusive creation under a fresh name: whatever another program put beside `path`, a
// link above all, is never opened.
int createTemporary(const std::string& path, std::string& temp)
{
    constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt)
    {
        temp = path + std::string(kTemporaryMark);
        for (std::size_t i = 0; i < kTemporaryLetters; ++i)
            temp += kLetters[random() % kLetters.size()];
        const int fd =
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

std::string workingFolder()
{
    std::error_code ec;
    std::string folder = std::filesystem::current_path(ec).string();
    // A folder removed under the process has no path; one that cannot be listed is no more
    // use: neither may turn into "/".
    if (ec || folder.empty() || !std::unique_ptr<DIR, Deleter<closedir>>(opendir(folder.c_str())))
        return "";
    return folder + "/";
}

std::vector<std::string> findFiles(const std::string& folder, std::string_view extension)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, Deleter<closedir>> dir(opendir(folder.c_str()));
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir.get()))
    {
        const std::string_view name = entry->d_name;
        if (name.starts_with('.') || name.size() <= extension.size())
            continue;
        if (!text::equalsIgnoringAsciiCase(name.substr(name.size() - extension.size()), extension))
            continue;
        std::string path = folder + std::string(name);
        if (isRegularFile(path))
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit,
                                           std::string& why)
{
    why.clear();
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    const std::string tooLarge = "is larger than " + std::to_string(limit / 1024) + " KB";
    // Checked again on the open file, which may have been swapped in between.
    const Descriptor file{S_ISREG(st.st_mode)
                              ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                              : -1};
    if (file.fd >= 0 && ::fstat(file.fd, &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode))
        why = "is not a regular file";
    else if (static_cast<std::size_t>(st.st_size) > limit)
        why = tooLarge;
    if (!why.empty() || file.fd < 0)
        return std::nullopt;
    std::string contents(limit + 1, '\0');
    std::size_t got = 0;
    while (got < contents.size())
    {
        const ssize_t n = ::read(file.fd, contents.data() + got, contents.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got > limit)
    {
        why = tooLarge;
        return std::nullopt;
    }
    contents.resize(got);
    return contents;
}

std::string linkTarget(const std::string& path)
{
    std::filesystem::path at = path;
    std::error_code ec;
    for (int hop = 0; hop < kMaxLinkHops && std::filesystem::is_symlink(at, ec); ++hop)
    {
        const auto to = std::filesystem::read_symlink(at, ec);
        if (ec)
            break;
        at = to.is_absolute() ? to : at.parent_path() / to;
    }
    return at.string();
}

bool replaceFile(const std::string& path, std::string_view contents)
{
    removeLeftTemporaries(path);
    std::string temp;
    const int fd = createTemporary(path, temp);
    if (fd < 0)
        return false;
    struct stat old
    {
    };
    const bool keptMode = ::stat(path.c_str(), &old) != 0 || ::fchmod(fd, old.st_mode & 07777) == 0;
    const bool written = keptMode && writeAll(fd, contents) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0)
    {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool isReadOnlyFile(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return false;
    if (::geteuid() == 0)
        return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    return ::access(path.c_str(), W_OK) != 0;
}

} // namespace sonarello::os
