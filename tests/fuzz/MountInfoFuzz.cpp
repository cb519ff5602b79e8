// Fuzz target of the mountinfo reader (the inventory's mount points): any
// text parses without fault, and a field escaped as the kernel escapes it
// reads back as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "port/linux/MountInfo.h"

namespace {

namespace mountinfo = nork::port::linux_mountinfo;

// The kernel's escaping of a path in mountinfo.
std::string escape(std::string_view path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char oct[5];
            std::snprintf(oct, sizeof oct, "\\%03o", static_cast<unsigned char>(c));
            out += oct;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "mountinfo fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& [device, dir] : mountinfo::parse(text)) {
        if (device.empty() || device.size() > size || dir.size() > size)
            fail("an entry longer than the text it came from");
    }
    if (mountinfo::unescapeField(escape(text)) != text)
        fail("an escaped field does not read back");
    return 0;
}
