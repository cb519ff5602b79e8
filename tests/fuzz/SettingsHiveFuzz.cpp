// Fuzz target of the settings hive's text format, in memory and through the
// hive's own entry points: any file reads without fault, and a rewrite of it
// (one value written) keeps every key and value that could be read and every
// line that could not.
//
// The input is the root's file; it lives in a directory of this process
// under $TMPDIR (/dev/shm for speed when the fuzzer runs it).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "port/HiveFormat.h"
#include "port/SettingsHive.h"

namespace {

namespace fs = std::filesystem;
using nork::port::HiveResult;
using nork::port::HiveRoot;
using nork::port::HiveValue;
using nork::port::SettingsHive;

constexpr HiveRoot ROOT = HiveRoot::CurrentUser;
constexpr std::size_t MAX_KEYS = 200;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "settings hive fuzz: %s\n", what);
    std::abort();
}

// The process's scratch directory, removed at exit.
struct ScratchDir {
    fs::path dir;
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        dir = fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
              ("qz-hive-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

const fs::path& hiveFile() {
    static const ScratchDir scratch;
    static const fs::path file = scratch.dir / "hkcu.reg";
    return file;
}

struct Snapshot {
    std::vector<std::u16string> keys;
    std::vector<std::pair<std::u16string, std::vector<std::pair<std::u16string, HiveValue>>>>
        values;
    std::size_t skipped = 0;
};

// Every key below the root (breadth first, bounded) with its values.
Snapshot read(const SettingsHive& hive) {
    Snapshot s;
    std::vector<std::u16string> pending{u""};
    while (!pending.empty() && s.keys.size() < MAX_KEYS) {
        const std::u16string key = pending.front();
        pending.erase(pending.begin());
        std::vector<std::u16string> children;
        const HiveResult r = hive.enumSubkeys(ROOT, key, children);
        if (!r.ok())
            fail("a listed key cannot be enumerated");
        s.skipped = r.skippedLines;
        for (const std::u16string& child : children)
            pending.push_back(key.empty() ? child : key + u"\\" + child);
        if (key.empty())
            continue;
        s.keys.push_back(key);
        std::vector<std::pair<std::u16string, HiveValue>> values;
        if (!hive.enumValues(ROOT, key, values).ok())
            fail("a listed key has no values to list");
        for (const auto& [name, value] : values) {
            HiveValue again;
            if (!hive.readValue(ROOT, key, name, again).ok() || !(again == value))
                fail("a listed value does not read back");
        }
        s.values.emplace_back(key, std::move(values));
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The text format alone, in memory: whatever it makes of the bytes, its
    // own output reads back to the same output.
    namespace format = nork::port::hive;
    const std::string once = format::serialise(
        format::parse(std::string_view(reinterpret_cast<const char*>(data), size)));
    if (format::serialise(format::parse(once)) != once)
        fail("the format's own output does not read back to itself");

    const fs::path& file = hiveFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    SettingsHive hive("", file.string(), "");
    const Snapshot before = read(hive);
    if (before.keys.size() >= MAX_KEYS)
        return 0;  // too many to compare in reasonable time

    // A write rewrites the whole file from what was parsed; the probe key
    // then goes again. An input that names the probe key is not compared.
    std::string lower(reinterpret_cast<const char*>(data), size);
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
    if (lower.find("qzfuzzprobe") != std::string::npos)
        return 0;
    if (!hive.writeValue(ROOT, u"QzFuzzProbe", u"v", HiveValue::ofDword(1)).ok() ||
        !hive.deleteKey(ROOT, u"QzFuzzProbe", true).ok())
        fail("the probe value could not be written and removed");
    const Snapshot after = read(hive);
    if (after.skipped != before.skipped)
        fail("the rewrite changed which lines cannot be read");
    if (after.keys != before.keys)
        fail("the rewrite changed the keys");
    if (after.values != before.values)
        fail("the rewrite changed a value");
    return 0;
}
