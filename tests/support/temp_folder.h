// A fresh folder under the system's temporary folder, removed with everything in it when
// the test ends, even when the test took its own permissions away. Test thread.
#pragma once

#include <QTemporaryDir>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace sonarello::test
{

class TempFolder
{
  public:
    TempFolder()
    {
        if (!dir_.isValid())
            throw std::runtime_error("cannot create a temporary folder");
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    QTemporaryDir dir_{QDir::tempPath() + "/sonarello-test-XXXXXX"};
    std::filesystem::path path_ = dir_.path().toStdString();
};

} // namespace sonarello::test
