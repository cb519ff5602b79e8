// What the settings hive costs as it grows: one value read from a hive file
// of 1,000, 10,000 or 100,000 values (a read scans the whole file under its
// lock and parses only the key it asks for: all of the file when every value
// is in that key), and one value set on such a hive (read, parse, change,
// write the whole file, rename). The values
// are either all in one key or one per key (the shape of the drives-seen
// list), and mix the three value types. items_per_second counts values in the
// file handled per second.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "port/SettingsHive.h"

namespace {

namespace fs = std::filesystem;
using nork::port::HiveRoot;
using nork::port::HiveValue;
using nork::port::SettingsHive;

enum class Shape { OneKey, KeyPerValue };

// The hive file's text: `count` values, a third each DWORD, string and
// binary.
std::string hiveText(std::int64_t count, Shape shape) {
    std::string text = "; benchmark hive\n";
    if (shape == Shape::OneKey)
        text += "[SOFTWARE\\NORK\\Bench]\n";
    char line[160];
    for (std::int64_t i = 0; i < count; ++i) {
        if (shape == Shape::KeyPerValue) {
            std::snprintf(line, sizeof line, "[SOFTWARE\\NORK\\Bench\\1234\\SN%08lld\\5678\\1]\n",
                          static_cast<long long>(i));
            text += line;
        }
        switch (i % 3) {
            case 0:
                std::snprintf(line, sizeof line, "\"Value%06lld\"=dword:%08llx\n",
                              static_cast<long long>(i), static_cast<long long>(i));
                break;
            case 1:
                std::snprintf(line, sizeof line, "\"Value%06lld\"=\"text \\\"%lld\\\" here\"\n",
                              static_cast<long long>(i), static_cast<long long>(i));
                break;
            default:
                std::snprintf(line, sizeof line, "\"Value%06lld\"=hex:01,02,03,04,05,06,07,08\n",
                              static_cast<long long>(i));
                break;
        }
        text += line;
    }
    return text;
}

class HiveFile {
  public:
    HiveFile(std::int64_t count, Shape shape)
        : m_dir(fs::temp_directory_path() / ("qz-hive-bench-" + std::to_string(::getpid()))),
          m_path((m_dir / "hkcu.reg").string()),
          m_hive(m_path + ".hkcr", m_path, m_path + ".hklm") {
        fs::create_directories(m_dir);
        std::ofstream(m_path, std::ios::binary | std::ios::trunc) << hiveText(count, shape);
    }
    ~HiveFile() {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    SettingsHive& hive() { return m_hive; }

  private:
    fs::path m_dir;
    std::string m_path;
    SettingsHive m_hive;
};

// The key and name of a value near the end of the file, so that a scan
// would walk past all the others.
std::u16string lastKey(std::int64_t count, Shape shape) {
    if (shape == Shape::OneKey)
        return u"SOFTWARE\\NORK\\Bench";
    char key[80];
    std::snprintf(key, sizeof key, "SOFTWARE\\NORK\\Bench\\1234\\SN%08lld\\5678\\1",
                  static_cast<long long>(count - 1));
    return std::u16string(key, key + std::char_traits<char>::length(key));
}

std::u16string lastName(std::int64_t count) {
    char name[32];
    std::snprintf(name, sizeof name, "Value%06lld", static_cast<long long>(count - 1));
    return std::u16string(name, name + std::char_traits<char>::length(name));
}

void BM_HiveLoad(benchmark::State& state, Shape shape) {
    const std::int64_t count = state.range(0);
    HiveFile file(count, shape);
    const std::u16string key = lastKey(count, shape);
    const std::u16string name = lastName(count);
    for (auto _ : state) {
        HiveValue value;
        auto r = file.hive().readValue(HiveRoot::CurrentUser, key, name, value);
        if (!r.ok() || r.skippedLines != 0) {
            state.SkipWithError("value not read");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_HiveSetValue(benchmark::State& state, Shape shape) {
    const std::int64_t count = state.range(0);
    HiveFile file(count, shape);
    const std::u16string key = lastKey(count, shape);
    std::uint32_t n = 0;
    for (auto _ : state) {
        auto r =
            file.hive().writeValue(HiveRoot::CurrentUser, key, u"Counter", HiveValue::ofDword(++n));
        if (!r.ok()) {
            state.SkipWithError("value not written");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void hiveSizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t count : {1000, 10000, 100000})
        b->Arg(count);
    b->ArgName("values")->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK_CAPTURE(BM_HiveLoad, OneKey, Shape::OneKey)->Apply(hiveSizes);
BENCHMARK_CAPTURE(BM_HiveLoad, KeyPerValue, Shape::KeyPerValue)->Apply(hiveSizes);
BENCHMARK_CAPTURE(BM_HiveSetValue, OneKey, Shape::OneKey)->Apply(hiveSizes);
BENCHMARK_CAPTURE(BM_HiveSetValue, KeyPerValue, Shape::KeyPerValue)->Apply(hiveSizes);
