// A folder of the running test's own below the system's temporary folder,
// named after the process and the test, removed with everything in it when
// the object goes.
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace testing_support {

class CTestFolder {
public:
    explicit CTestFolder(const std::string& strPrefix)
        : m_path(std::filesystem::temp_directory_path() /
                 (strPrefix + "_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::create_directories(m_path);
    }
    ~CTestFolder() {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    CTestFolder(const CTestFolder&) = delete;
    CTestFolder& operator=(const CTestFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string PathOf(const std::string& strName) const { return (m_path / strName).string(); }

private:
    std::filesystem::path m_path;
};

} // namespace testing_support
