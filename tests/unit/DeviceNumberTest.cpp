// The device number must equal what the system's cksum prints for the
// serial's bytes, because other processes compute it independently.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "DeviceNumber.h"

namespace nork {
namespace {

struct Known {
    std::u16string serial;
    std::uint32_t number;
};

TEST(DeviceNumber, KnownValues) {
    const Known cases[] = {
        {u"", 0xFFFFFFFFu},                  // only the complement
        {u"a", 1220704766u},                 // one length byte
        {u"123456789", 930766865u},          // the usual check string
        {u"0123456789ABCDEF", 1260488453u},  // a Qz-style serial
        {u"QE00AABBCCDD0011", 2608738675u},
        {std::u16string(u"\u0141\u0142"), deviceNumberOf(u"AB")},  // low bytes only
    };
    for (const auto& c : cases)
        EXPECT_EQ(deviceNumberOf(c.serial), c.number)
            << std::string(c.serial.begin(), c.serial.end());
}

// Runs the system's cksum on the bytes and returns its checksum column.
bool systemCksum(const std::string& bytes, std::uint32_t& out) {
    const char* tmp = std::getenv("QZ_TEST_TMP");
    const auto dir = std::filesystem::path(tmp ? tmp : "/tmp") / "devnum";
    std::filesystem::create_directories(dir);
    const auto file = dir / ("in-" + std::to_string(bytes.size()));
    std::ofstream(file, std::ios::binary) << bytes;
    const std::string cmd = "cksum < '" + file.string() + "'";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr)
        return false;
    unsigned long value = 0;
    unsigned long length = 0;
    const int read = std::fscanf(pipe, "%lu %lu", &value, &length);
    const int rc = ::pclose(pipe);
    out = static_cast<std::uint32_t>(value);
    return read == 2 && rc == 0 && length == bytes.size();
}

TEST(DeviceNumber, MatchesSystemCksum) {
    // Lengths of 0, 1, 255, 256 and 70000 cover a length of zero, one,
    // two and three appended bytes.
    std::string longSerial;
    for (int i = 0; i < 70000; ++i)
        longSerial.push_back(static_cast<char>('0' + i % 43));
    const std::string serials[] = {"",
                                   "Z",
                                   "0123456789abcdef",
                                   "AA00BB11CC22DD33EE",
                                   std::string(255, 'x'),
                                   std::string(256, 'y'),
                                   longSerial};
    for (const auto& s : serials) {
        std::uint32_t expected = 0;
        ASSERT_TRUE(systemCksum(s, expected)) << "cksum failed for length " << s.size();
        const std::u16string wide(s.begin(), s.end());
        EXPECT_EQ(deviceNumberOf(wide), expected) << "length " << s.size();
        EXPECT_EQ(posixCksum(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), expected);
    }
}

}  // namespace
}  // namespace nork
