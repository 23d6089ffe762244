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

} // namespace

std::string workingFolder()
{
    std::error_code ec;
    std::string folder = std::filesystem::current_path(ec).string();
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

bool replaceFile(const std::string& path, std::string_view contents)
{
    // One fixed name: a temporary file left by a killed process is reused, never piled up.
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
