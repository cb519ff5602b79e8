// Checks of a FAT volume image with tools this project did not write:
// fsck.fat (dosfstools) and mtools.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace nork::testing {

inline bool fatToolsPresent() {
    return std::system(
               "command -v fsck.fat >/dev/null 2>&1 && command -v mcopy >/dev/null 2>&1 "
               "&& command -v mmd >/dev/null 2>&1") == 0;
}

// Runs an mtools command quietly (the image needs no drive-letter entry).
inline int runMtools(const std::string& command) {
    return std::system(("MTOOLS_SKIP_CHECK=1 " + command + " >/dev/null 2>&1").c_str());
}

// fsck.fat -n on a volume: empty when clean, else its exit code and report.
inline std::string fsckProblems(const std::filesystem::path& image) {
    // Beside its image: tests run in parallel under ctest.
    const std::filesystem::path out = image.string() + ".fsck";
    const int rc =
        std::system(("fsck.fat -n '" + image.string() + "' >'" + out.string() + "' 2>&1").c_str());
    if (rc == 0)
        return {};
    std::ifstream in(out);
    return "exit " + std::to_string(rc) + ": " +
           std::string((std::istreambuf_iterator<char>(in)), {});
}

// Writes a small tree (a text file, a 70,000-byte file in a subdirectory)
// onto the volume with mtools, reads it back into `scratch` and compares
// byte for byte.
inline void fatRoundTrip(const std::filesystem::path& image, const std::filesystem::path& scratch,
                         const std::string& tag) {
    namespace fs = std::filesystem;
    const fs::path tree = scratch / (tag + "-tree");
    const fs::path back = scratch / (tag + "-back");
    fs::remove_all(tree);
    fs::remove_all(back);
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "a.txt") << "hello " << tag;
    {
        std::ofstream big(tree / "sub" / "big.bin", std::ios::binary);
        for (int i = 0; i < 70000; ++i)
            big.put(static_cast<char>(i * 7));
    }
    const std::string img = "-i '" + image.string() + "'";
    ASSERT_EQ(0, runMtools("mmd " + img + " ::/dir ::/dir/sub"));
    ASSERT_EQ(0, runMtools("mcopy " + img + " '" + (tree / "a.txt").string() + "' ::/dir/a.txt"));
    ASSERT_EQ(0, runMtools("mcopy " + img + " '" + (tree / "sub" / "big.bin").string() +
                           "' ::/dir/sub/big.bin"));
    fs::create_directories(back);
    ASSERT_EQ(0, runMtools("mcopy -s " + img + " ::/dir '" + back.string() + "'"));
    for (const char* rel : {"a.txt", "sub/big.bin"}) {
        std::ifstream x(tree / rel, std::ios::binary);
        std::ifstream y(back / "dir" / rel, std::ios::binary);
        const std::string a((std::istreambuf_iterator<char>(x)), {});
        const std::string b((std::istreambuf_iterator<char>(y)), {});
        EXPECT_EQ(a, b) << rel;
    }
    fs::remove_all(tree);
    fs::remove_all(back);
}

}  // namespace nork::testing
