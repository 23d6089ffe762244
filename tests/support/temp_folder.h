// A fresh folder under the system's temporary folder, removed with everything in it when
// the test ends. Test thread.
#pragma once

#include <filesystem>
#include <string>

namespace sonarello::test
{

class TempFolder
{
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

} // namespace sonarello::test
