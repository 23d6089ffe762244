// File-system services: the working folder, the search of a folder by file extension and
// whole-file replacement through a temporary file. Main thread at start-up and shutdown.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonarello::os
{

// The process's current folder followed by one "/" (also when it already ends in "/");
// empty when it was removed or cannot be read.
std::string workingFolder();

// Names of the folder's regular, non-hidden files whose extension (".mp3") matches
// without regard to ASCII letter case, in byte order of their names.
std::vector<std::string> findFiles(const std::string& folder, std::string_view extension);

// The file's bytes, empty when it cannot be read.
std::string readWholeFile(const std::string& path);

// The bytes of `path` when it is a regular file (links followed) of at most `limit` bytes.
// Otherwise nullopt, with `why` saying so ("is not a regular file", ...), or left empty
// when the file cannot be opened. Never waits on a FIFO nor reads a device.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit,
                                           std::string& why);

// Where a chain of symbolic links starting at `path` ends (`path` itself when it is none).
std::string linkTarget(const std::string& path);

// Writes `contents` to a temporary file beside `path`, flushes it to disk and renames it
// into place, so `path` always holds either its old or its new contents, whole. False
// (with the old file untouched) when any step fails. The new file keeps the permission
// bits of the file it replaces. A link at `path` is replaced, not followed; the temporary
// file is created under a fresh name, never through anything already there.
bool replaceFile(const std::string& path, std::string_view contents);

// True when `path` exists and this process may not write it. The superuser may write any
// file, so for it a file that grants no write permission to anyone counts as read-only:
// the user froze it on purpose.
bool isReadOnlyFile(const std::string& path);

} // namespace sonarello::os
