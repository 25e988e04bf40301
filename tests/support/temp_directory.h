// A directory of the test's own under the system's temporary directory, removed with the
// object; its name is unique, so test programs that run at once never share files.
#pragma once

#include <filesystem>
#include <random>
#include <string>

class TempDirectory {
public:
    // `name` is the last part of the directory's name.
    explicit TempDirectory(const std::filesystem::path& name) {
        std::filesystem::path unique = std::filesystem::temp_directory_path();
        unique /= "quarn-" + std::to_string(std::random_device{}());
        m_Root = unique;
        m_Path = unique / name;
        std::filesystem::create_directories(m_Path);
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_Root, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Root;
    std::filesystem::path m_Path;
};
