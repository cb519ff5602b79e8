// Fuzz target of the hidden-area page store: opening, scanning, writing and
// merging on an arbitrary area image must never crash and never read or
// write outside a page. Each input is an area image, or a recipe of
// mutations applied to a valid area.
//
// Built as a plain driver (run by CTest, and under the sanitizers by
// `make asan-test`): `ha_fuzz [--iterations N] [--seed S]` runs random and
// mutated images; `ha_fuzz PATH...` replays stored inputs (the corpus, a
// saved crasher) instead. With -DQZ_LIBFUZZER the file is a libFuzzer target
// (docs/fuzzing.md).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "FuzzReplay.h"
#include "HAChunkMgr.h"
#include "HAPageMgr.h"
#include "HATestSupport.h"
#include "UFDImpl.h"

namespace {

using nork::CHAChunkMgr;
using nork::CHAPageMgr;
using nork::HA_PAGE_SIZE;
using nork::STATUS_OK;
using nork::test::CHAMemoryUtils;
using nork::test::CHATestRecord;
using nork::test::HAPages;

constexpr std::size_t MAX_PAGES = 250;

struct Violation {
    std::string what;
};

// What the inputs reached, to see that they exercise the store.
struct Reach {
    unsigned long opened = 0, refused = 0, chunks = 0;
} g_reach;

// One store operation on the pages; throws Violation on a transfer outside
// the area.
void exercise(HAPages& pages, int version) {
    nork::CUFDImpl device;
    device.setDeviceState(nork::STATUS_OK);
    auto owned = std::make_unique<CHAMemoryUtils>(pages, version);
    CHAMemoryUtils* utils = owned.get();
    utils->passwords = version == 3;
    CHAPageMgr mgr;
    mgr.attach(&device, std::move(owned));
    CHAChunkMgr chunks(mgr);

    for (int round = 0; round < 2; ++round) {
        if (mgr.openArea() == STATUS_OK) {
            ++g_reach.opened;
            chunks.walk([](const nork::CHALocation&, std::uint32_t) {
                ++g_reach.chunks;
                return true;
            });
            chunks.find(CHATestRecord("a"));
            CHATestRecord record("fz", std::vector<std::uint8_t>(round ? 600 : 37, 0x11));
            auto old = chunks.find(CHATestRecord("fz"));
            chunks.writeObject(record, old.get());
            if (auto gone = chunks.find(CHATestRecord("b")))
                chunks.free(*gone);
            CHATestRecord keyed("k", std::vector<std::uint8_t>(20, 0x22), 0x77 + round);
            chunks.writeDedicated(keyed);
            chunks.readDedicated(keyed);
            chunks.commit();
        } else {
            ++g_reach.refused;
        }
        mgr.drop();
        chunks.clear();
    }
    if (utils->outOfRange != 0)
        throw Violation{"a transfer outside the area"};
}

// A valid area of `count` pages holding a few records and a dedicated page.
HAPages validArea(std::size_t count, int version) {
    HAPages pages = nork::test::blankPages(count);
    nork::CUFDImpl device;
    device.setDeviceState(nork::STATUS_OK);
    auto utils = std::make_unique<CHAMemoryUtils>(pages, version);
    utils->passwords = version == 3;
    CHAPageMgr mgr;
    mgr.attach(&device, std::move(utils));
    CHAChunkMgr chunks(mgr);
    if (mgr.openArea() != STATUS_OK)
        return pages;
    const char* names[] = {"a", "b", "c", "d"};
    for (std::size_t i = 0; i < 4; ++i) {
        CHATestRecord r(names[i], std::vector<std::uint8_t>(30 + 250 * i, std::uint8_t(i)));
        chunks.writeObject(r, nullptr);
    }
    CHATestRecord keyed("key", std::vector<std::uint8_t>(40, 9), 0x42);
    chunks.writeDedicated(keyed);
    chunks.commit();
    return pages;
}

// Input layout: byte 0 chooses the page count and version; with at least
// count x 512 bytes more the rest is the image itself; otherwise it is a
// list of mutations (u16 position, u8 kind, u32 value) of a valid area.
void runOne(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return;
    static const std::size_t counts[] = {2, 3, 10, MAX_PAGES};
    const std::size_t count = counts[data[0] & 3];
    const int version = (data[0] & 4) ? 3 : 2;
    ++data;
    --size;
    HAPages pages;
    if (size >= count * HA_PAGE_SIZE) {
        pages = nork::test::blankPages(count);
        for (std::size_t p = 0; p < count; ++p)
            std::memcpy(pages[p].data(), data + p * HA_PAGE_SIZE, HA_PAGE_SIZE);
    } else {
        pages = validArea(count, version);
        for (std::size_t i = 0; i + 7 <= size; i += 7) {
            const std::uint32_t at = (data[i] | data[i + 1] << 8) % (count * HA_PAGE_SIZE);
            const std::uint8_t kind = data[i + 2];
            std::uint32_t value = 0;
            std::memcpy(&value, data + i + 3, 4);
            std::uint8_t* byte = &pages[at / HA_PAGE_SIZE][at % HA_PAGE_SIZE];
            switch (kind % 4) {
                case 0:  // one byte
                    *byte = static_cast<std::uint8_t>(value);
                    break;
                case 1: {  // a 32-bit word (a chunk header, the index count...)
                    const std::size_t room = HA_PAGE_SIZE - at % HA_PAGE_SIZE;
                    std::memcpy(byte, &value, room < 4 ? room : 4);
                    break;
                }
                case 2:  // a header with an edge size at a chunk-like place
                    value = (value & 0xF0000000u) |
                            std::uint32_t((kind >> 2) % 5 == 0   ? 0
                                          : (kind >> 2) % 5 == 1 ? 3
                                          : (kind >> 2) % 5 == 2 ? 0x0FFFFFFF
                                                                 : value & 0x0FFFFFFF);
                    std::memcpy(&pages[at / HA_PAGE_SIZE][4 + (at % 508 & ~3u)], &value, 4);
                    break;
                default:  // the index page's entry count
                    pages[0][10] = static_cast<std::uint8_t>(value);
                    pages[0][11] = static_cast<std::uint8_t>(value >> 8);
                    break;
            }
        }
    }
    exercise(pages, version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        runOne(data, size);
    } catch (const Violation& v) {
        std::fprintf(stderr, "ha_fuzz: %s\n", v.what.c_str());
        std::abort();
    }
    return 0;
}

#ifndef QZ_LIBFUZZER
int main(int argc, char** argv) {
    unsigned long iterations = 2000;
    unsigned long seed = std::random_device{}();
    std::vector<std::string> stored;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc)
            iterations = std::strtoul(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = std::strtoul(argv[++i], nullptr, 10);
        else
            stored.emplace_back(argv[i]);
    }
    if (!stored.empty())
        return nork::fuzz::replayInputs(stored);
    std::printf("ha_fuzz: %lu inputs, seed %lu\n", iterations, seed);
    std::mt19937 gen(static_cast<std::mt19937::result_type>(seed));
    std::vector<std::uint8_t> input;
    try {
        for (unsigned long n = 0; n < iterations; ++n) {
            if (n % 8 == 0) {
                // A whole random image (of the largest count).
                input.assign(1 + MAX_PAGES * HA_PAGE_SIZE, 0);
                for (auto& b : input)
                    b = static_cast<std::uint8_t>(gen());
                input[0] = static_cast<std::uint8_t>((input[0] & 4) | 3);
                if (n % 16 == 0) {
                    // Mostly a garbage area that passes the version check.
                    std::memcpy(&input[5], "AHA3", 4);
                    input[9] = 0;
                    input[10] = (input[0] & 4) ? 3 : 2;
                    input[11] = static_cast<std::uint8_t>(gen() % 20);
                    input[12] = 0;
                }
            } else {
                input.assign(1 + 7 * (1 + gen() % 24), 0);
                for (auto& b : input)
                    b = static_cast<std::uint8_t>(gen());
            }
            runOne(input.data(), input.size());
        }
    } catch (const Violation& v) {
        std::fprintf(stderr, "ha_fuzz: %s (seed %lu)\n", v.what.c_str(), seed);
        return 1;
    }
    std::printf("ha_fuzz: done; area opened %lu times, refused %lu, %lu chunks walked\n",
                g_reach.opened, g_reach.refused, g_reach.chunks);
    return 0;
}
#endif
