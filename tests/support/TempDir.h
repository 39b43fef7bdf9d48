// TempDir: a fresh folder under the system's temporary folder for one test,
// removed with its content when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace zel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The path of a file in the folder.
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    // Writes text to a file in the folder and returns its path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path path_;
};

}  // namespace zel::test
