// Helpers shared by the runtime tests: a fresh scratch directory per test and
// whole-file reads.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace nork::testing {

// An empty directory named after the running test, under $QZ_TEST_TMP.
inline std::filesystem::path freshTestDir() {
    const char* base = std::getenv("QZ_TEST_TMP");
    std::filesystem::path root = base != nullptr && *base != '\0'
                                     ? std::filesystem::path(base)
                                     : std::filesystem::temp_directory_path() / "qz-test-tmp";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    std::filesystem::path dir = root / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace nork::testing
