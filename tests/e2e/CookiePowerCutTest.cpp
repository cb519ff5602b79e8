// Power cuts during cookie writes, tried at every page write: each changing
// operation is run once undisturbed to learn its page writes, then once per
// write and cut mode with that write lost or torn and nothing after it
// reaching the drive. The store is then opened again and every cookie read.
//
// What must hold (docs/hidden-area.md, "Writes and what an interruption
// leaves"): nothing is read or written outside the area; a cookie the
// operation did not touch keeps its value; the touched cookie reads as its
// old or its new value. The documented exceptions are accepted only where
// the cut makes them possible: a record rewritten in place over more than
// one page may read with mixed bytes; a tear in the page of a written
// record's header may leave that cookie with wrong bytes or unparsable (not
// found); a tear through the bytes of a changed chunk header may break the
// stream there (cookies behind the break are not found; none reads a wrong
// value).
//
// The drive is the in-process emulator behind the library's real executor;
// a backend in front of it counts the hidden page writes and turns the power
// off after the cut one (the drive tears that write itself).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "CookieImpl.h"
#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "DeviceSupport.h"
#include "E2eSupport.h"
#include "HAPageMgr.h"
#include "HATestSupport.h"
#include "HIDHandleMgr.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "model/HiddenArea.h"
#include "qz/DriveProtocol.h"

namespace qzemu::e2e {
namespace {

using nork::STATUS;
using nork::STATUS_DATA_NOT_FOUND;
using nork::STATUS_OK;
using nork::test::HAPages;

constexpr std::uint16_t AREA_PAGES = 40;
constexpr std::size_t PAGE = 512;
constexpr std::size_t HEAD = 4;  // page header word

// ---- the power switch ----

class PowerCutBackend final : public nork::port::IDeviceBackend {
  public:
    struct Write {
        std::uint16_t page;
        std::vector<std::uint8_t> data;
    };

    explicit PowerCutBackend(std::shared_ptr<InProcessBackend> backend)
        : m_backend(std::move(backend)) {}

    // Power goes off right after the nth hidden page write from now (0: never).
    void arm(std::size_t nth) {
        m_cutAfter = nth;
        writes.clear();
        refused = 0;
        m_off = false;
    }
    void powerOn() {
        m_cutAfter = 0;
        m_off = false;
    }
    bool off() const { return m_off; }

    std::vector<Write> writes;  // hidden page writes since arm(), in order
    std::size_t refused = 0;    // commands refused while the power was off
    std::size_t outOfRange = 0;

    const char* name() const override { return "power-cut"; }
    nork::port::PortError usbIdentity(const std::string& path,
                                      nork::port::UsbIdentity& out) override {
        return m_backend->usbIdentity(path, out);
    }
    bool claims(std::string_view path) const override { return m_backend->claims(path); }
    nork::port::PortError open(const std::string& path, std::intptr_t& handle) override {
        return m_backend->open(path, handle);
    }
    void close(std::intptr_t handle) override { m_backend->close(handle); }
    nork::port::PortError vendorDriverRequest(std::intptr_t handle,
                                              nork::port::VendorDriverRequest& r) override {
        return m_backend->vendorDriverRequest(handle, r);
    }
    nork::port::PortError passThrough(std::intptr_t handle,
                                      nork::port::ScsiPassThroughRequest& r) override {
        if (m_off) {
            ++refused;
            return nork::port::PortError{nork::port::PortErrc::Disconnected, 0};
        }
        bool cutNow = false;
        if (r.Cdb[0] == nork::proto::PRIVATE_OPCODE) {
            const std::uint16_t op = std::uint16_t(r.Cdb[1] | r.Cdb[2] << 8);
            const std::uint16_t page = std::uint16_t(r.Cdb[3] | r.Cdb[4] << 8);
            const bool write = op == nork::proto::qzop::HA_WRITE_PAGE ||
                               op == nork::proto::qzop::HA_WRITE_PROTECTED_PAGE;
            const bool read = op == nork::proto::qzop::HA_READ_PAGE ||
                              op == nork::proto::qzop::HA_READ_PROTECTED_PAGE;
            if ((write || read) && page >= AREA_PAGES)
                ++outOfRange;
            if (write && r.DataBuffer != nullptr) {
                const auto* data = static_cast<const std::uint8_t*>(r.DataBuffer);
                writes.push_back(Write{page, std::vector<std::uint8_t>(data, data + PAGE)});
                cutNow = writes.size() == m_cutAfter;
            }
        }
        const auto error = m_backend->passThrough(handle, r);
        if (cutNow)
            m_off = true;
        return error;
    }

  private:
    std::shared_ptr<InProcessBackend> m_backend;
    std::size_t m_cutAfter = 0;
    bool m_off = false;
};

// ---- cookies as the test knows them ----

enum Kind { INT = 1, STRING = 2, BINARY = 3 };

struct Name {
    std::string section, key;
    Kind kind;
    friend bool operator<(const Name& a, const Name& b) {
        return std::tie(a.section, a.key, a.kind) < std::tie(b.section, b.key, b.kind);
    }
};
using Value = std::vector<std::uint8_t>;  // int: 4 bytes LE; string without its NUL
using Contents = std::map<Name, Value>;

std::string describe(const Name& n) {
    return n.section + "/" + n.key + "(" + std::to_string(int(n.kind)) + ")";
}

Value intValue(std::int32_t v) {
    Value b(4);
    nork::proto::putLE32(b.data(), static_cast<std::uint32_t>(v));
    return b;
}

// Printable text (strings) or any bytes but zero-free (binary), by seed.
Value filler(std::size_t n, int seed) {
    Value b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>('A' + (seed * 7 + i * 3) % 26);
    return b;
}

STATUS store(nork::CCookieImpl& c, const Name& n, const Value& v) {
    switch (n.kind) {
        case INT:
            return c.setInt(n.section.c_str(), n.key.c_str(),
                            static_cast<std::int32_t>(nork::proto::getLE32(v.data())));
        case STRING: {
            const std::string text(v.begin(), v.end());
            return c.setString(n.section.c_str(), n.key.c_str(), text.c_str());
        }
        case BINARY:
            return c.setBinary(n.section.c_str(), n.key.c_str(), v.data(),
                               static_cast<std::uint32_t>(v.size()));
    }
    return nork::STATUS_ERROR;
}

// A cookie as the store reads it: its value, or the status when none.
struct Read {
    STATUS status = STATUS_OK;
    Value value;
};

Read fetch(nork::CCookieImpl& c, const Name& n) {
    Read r;
    std::vector<std::uint8_t> buffer(8192);
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
    switch (n.kind) {
        case INT: {
            std::int32_t v = 0;
            r.status = c.getInt(n.section.c_str(), n.key.c_str(), v);
            r.value = intValue(v);
            break;
        }
        case STRING:
            r.status = c.getString(n.section.c_str(), n.key.c_str(),
                                   reinterpret_cast<char*>(buffer.data()), size);
            if (r.status == STATUS_OK)
                r.value.assign(buffer.begin(), buffer.begin() + (size ? size - 1 : 0));
            break;
        case BINARY:
            r.status = c.getBinary(n.section.c_str(), n.key.c_str(), buffer.data(), size);
            if (r.status == STATUS_OK)
                r.value.assign(buffer.begin(), buffer.begin() + size);
            break;
    }
    if (r.status != STATUS_OK)
        r.value.clear();
    return r;
}

// The baseline: cookies of all kinds, some across page boundaries, and three
// holes in the middle of the stream (the "gap" cookies, removed).
struct Planned {
    Name name;
    Value value;
};

std::vector<Planned> baselinePlan() {
    std::vector<Planned> plan;
    int seed = 0;
    auto add = [&](std::string section, std::string key, Kind kind, std::size_t size) {
        ++seed;
        plan.push_back({{std::move(section), std::move(key), kind},
                        kind == INT ? intValue(1000 + seed) : filler(size, seed)});
    };
    add("alpha", "i0", INT, 0);
    add("alpha", "s0", STRING, 12);
    add("gap", "h1", BINARY, 600);
    add("alpha", "i1", INT, 0);
    add("alpha", "s1", STRING, 120);
    add("alpha", "b0", BINARY, 60);
    add("beta", "i0", INT, 0);
    add("beta", "s0", STRING, 200);
    add("alpha", "s4", STRING, 700);
    add("gap", "h2", STRING, 40);
    add("alpha", "t", INT, 0);
    add("gap", "h3", STRING, 40);
    add("alpha", "b1", BINARY, 900);
    add("beta", "b0", BINARY, 300);
    add("beta", "s1", STRING, 450);
    add("alpha", "s5", STRING, 30);
    add("gamma", "i0", INT, 0);
    add("gamma", "s0", STRING, 80);
    add("gamma", "b0", BINARY, 1300);
    add("beta", "i1", INT, 0);
    for (int i = 1; i <= 4; ++i)
        add("gamma", "i" + std::to_string(i), INT, 0);
    for (int i = 2; i <= 5; ++i)
        add("alpha", "i" + std::to_string(i), INT, 0);
    add("gamma", "s1", STRING, 500);
    add("beta", "s2", STRING, 3);
    add("gamma", "b1", BINARY, 16);
    return plan;
}

// ---- the operations ----

enum class Placement { Elsewhere, InPlace };

struct Operation {
    const char* name;
    std::function<STATUS(nork::CCookieImpl&)> run;
    std::function<void(Contents&)> apply;  // the same change on the test's model
    Placement placement;                   // InPlace: the touched record is rewritten where it is
};

Operation setOp(const char* label, Name n, Value v, Placement placement) {
    return Operation{label, [n, v](nork::CCookieImpl& c) { return store(c, n, v); },
                     [n, v](Contents& m) { m[n] = v; }, placement};
}

void PrintTo(const Operation& op, std::ostream* out) {
    *out << op.name;
}

std::vector<Operation> operations() {
    return {
        setOp("SetNew", {"delta", "fresh", INT}, intValue(77), Placement::Elsewhere),
        setOp("OverwriteSameSize", {"alpha", "s4", STRING}, filler(700, 90), Placement::InPlace),
        setOp("OverwriteSmallerSplits", {"alpha", "b1", BINARY}, filler(850, 91),
              Placement::InPlace),
        setOp("OverwriteLargerMovesToAnEarlierHole", {"alpha", "s1", STRING}, filler(400, 92),
              Placement::Elsewhere),
        setOp("OverwriteLargerMovesToTheEnd", {"alpha", "s5", STRING}, filler(1000, 93),
              Placement::Elsewhere),
        setOp("LargeBinaryAcrossPages", {"delta", "blob", BINARY}, filler(1500, 94),
              Placement::Elsewhere),
        Operation{"RemoveMergesNeighbours",
                  [](nork::CCookieImpl& c) { return c.removeCookie("alpha", "t"); },
                  [](Contents& m) {
                      m.erase(Name{"alpha", "t", INT});
                  },
                  Placement::Elsewhere},
        Operation{"RemoveSection", [](nork::CCookieImpl& c) { return c.removeSection("beta"); },
                  [](Contents& m) {
                      std::erase_if(m, [](const auto& e) { return e.first.section == "beta"; });
                  },
                  Placement::Elsewhere},
    };
}

// ---- the area's images ----

// Stream positions of the chunk headers a walk of the area passes, as
// (page, offset); the walk stops where the checker stops.
std::vector<std::pair<int, int>> headersOf(const HAPages& area) {
    std::vector<std::pair<int, int>> out;
    for (const auto& c : nork::test::checkHAArea(area).chunks)
        out.emplace_back(c.page, c.offset);
    return out;
}

// The data offsets (0..507) of chunk headers on `page` whose bytes differ
// between the page images before and after a write; a header running over
// the page's end counts with its part on the page.
std::vector<int> changedHeaders(const HAPages& before, const HAPages& after, int page) {
    std::set<int> offsets;
    for (const HAPages* area : {&before, &after}) {
        for (const auto& [p, o] : headersOf(*area)) {
            if (p == page)
                offsets.insert(o);
        }
    }
    std::vector<int> changed;
    for (int o : offsets) {
        const int end = std::min<int>(o + 4, nork::HA_DATA_AREA_SIZE);
        if (!std::equal(before[page].begin() + HEAD + o, before[page].begin() + HEAD + end,
                        after[page].begin() + HEAD + o))
            changed.push_back(o);
    }
    return changed;
}

// Whether a tear keeping `keep` page bytes runs through a changed header
// (some of its bytes new, the others old): the only way a cut may break the
// stream. A tear between two changed headers of one write must not: the
// store never makes such a write.
bool tearRunsThroughAHeader(const std::vector<int>& changed, std::size_t keep) {
    const int newBytes = static_cast<int>(keep) - static_cast<int>(HEAD);
    return std::any_of(changed.begin(), changed.end(),
                       [&](int o) { return o < newBytes && newBytes < o + 4; });
}

// ---- the fixture ----

struct Cut {
    std::size_t write;  // 1-based
    std::size_t keep;   // page bytes of the torn write that are new
    bool lost = false;  // nothing of the write reaches the page
};

std::string describe(const Cut& c) {
    return "write " + std::to_string(c.write) +
           (c.lost ? " lost" : " torn keeping " + std::to_string(c.keep) + " bytes");
}

class CookiePowerCut : public ::testing::TestWithParam<Operation> {
  protected:
    void SetUp() override {
        nork::CHIDHandleMgr::instance().setLockDirectory((scratch.path() / "locks").string());
        auto inner = std::make_shared<InProcessBackend>();
        emu::DriveConfig config = smallDrive(serial);
        config.services = "3:1,4:1,8:2";
        config.hiddenPages = AREA_PAGES;
        drive = VirtualDrive::create(scratch.path() / serial, toModelConfig(config));
        inner->addDrive(drive);
        power = std::make_shared<PowerCutBackend>(inner);
        nork::port::deviceIo().registerBackend(power);

        device = connectEmulatedDrive(manager, serial);
        ASSERT_NE(device, nullptr);
        cookies = dynamic_cast<nork::CCookieImpl*>(device->getService(8).get());
        ASSERT_NE(cookies, nullptr);
        raw.attach(device);
    }
    void TearDown() override { nork::port::deviceIo().unregisterBackend(power.get()); }

    HAPages image() {
        return nork::test::readHAImage((drive->inspect().stateDir / HIDDEN_FILE_NAME).string());
    }

    // Puts every page of `area` on the drive, by plain page writes.
    void restore(const HAPages& area) {
        power->powerOn();
        raw.openHandle();
        for (std::uint16_t n = 0; n < area.size(); ++n)
            ASSERT_TRUE(raw.utils()->writePage(raw.handle(), area[n].data(), n)) << n;
        raw.closeHandle();
        ASSERT_EQ(image(), area);
    }

    Contents buildBaseline() {
        Contents model;
        for (const Planned& p : baselinePlan()) {
            EXPECT_EQ(store(*cookies, p.name, p.value), STATUS_OK) << describe(p.name);
            model[p.name] = p.value;
        }
        for (const char* key : {"h1", "h2", "h3"}) {
            EXPECT_EQ(cookies->removeCookie("gap", key), STATUS_OK);
            std::erase_if(model, [&](const auto& e) { return e.first.key == key; });
        }
        return model;
    }

    ScratchDir scratch;
    const std::string serial = "QE00C0FFEE000001";
    std::shared_ptr<VirtualDrive> drive;
    std::shared_ptr<PowerCutBackend> power;
    nork::CDeviceManager manager;
    nork::CUFDImpl* device = nullptr;
    nork::CCookieImpl* cookies = nullptr;
    nork::CHAPageMgr raw;  // for restoring pages only
};

TEST_P(CookiePowerCut, EveryCutLeavesOldOrNewValuesAndNoOtherCookieChanges) {
    const Operation& op = GetParam();
    const Contents before = buildBaseline();
    const HAPages baseline = image();
    {
        const auto area = nork::test::checkHAArea(baseline);
        ASSERT_TRUE(area.ok()) << area.error;
        int free = 0;
        for (const auto& c : area.chunks)
            free += c.type == 1;
        ASSERT_GE(free, 3) << "the baseline needs holes";
    }
    Contents after = before;
    op.apply(after);
    std::set<Name> touched;
    std::set<Name> names;
    for (const auto& [n, v] : before)
        names.insert(n);
    for (const auto& [n, v] : after)
        names.insert(n);
    for (const Name& n : names) {
        if (!before.count(n) || !after.count(n) || before.at(n) != after.at(n))
            touched.insert(n);
    }
    ASSERT_FALSE(touched.empty());

    // Undisturbed: the operation's page writes, and the images between them.
    power->arm(0);
    ASSERT_EQ(op.run(*cookies), STATUS_OK);
    const std::vector<PowerCutBackend::Write> writes = power->writes;
    ASSERT_FALSE(writes.empty());
    std::vector<HAPages> stages{baseline};  // stages[i]: after the first i writes
    for (const auto& w : writes) {
        stages.push_back(stages.back());
        stages.back()[w.page] = w.data;
    }
    ASSERT_EQ(stages.back(), image());
    for (const auto& [n, v] : after) {
        const Read r = fetch(*cookies, n);
        ASSERT_EQ(r.status, STATUS_OK) << describe(n);
        ASSERT_EQ(r.value, v) << describe(n);
    }

    // The records the operation writes (stored chunks whose bytes differ
    // from the baseline's): their pages, and the page of each one's header.
    std::set<int> recordPages, headerPages;
    {
        const HAPages& done = stages.back();
        for (const auto& c : nork::test::checkHAArea(done).chunks) {
            if (c.type != 2)
                continue;
            std::set<int> pages;
            bool written = false;
            std::uint32_t offset = c.offset;
            for (std::uint32_t left = c.size, p = c.page; left > 0 && p < AREA_PAGES; ++p) {
                const std::uint32_t take = std::min(nork::HA_DATA_AREA_SIZE - offset, left);
                const auto from = HEAD + offset;
                written |= !std::equal(baseline[p].begin() + from,
                                       baseline[p].begin() + from + take, done[p].begin() + from);
                pages.insert(int(p));
                left -= take;
                offset = 0;
            }
            if (written) {
                recordPages.insert(pages.begin(), pages.end());
                headerPages.insert(c.page);
            }
        }
    }

    int cases = 0, broken = 0, mixed = 0, unreadable = 0;
    for (std::size_t n = 1; n <= writes.size(); ++n) {
        const HAPages& pre = stages[n - 1];
        const HAPages& post = stages[n];
        const int page = writes[n - 1].page;
        const std::vector<int> changed = changedHeaders(pre, post, page);
        std::vector<Cut> cuts{{n, 0, true}, {n, 256}, {n, 508}};
        for (int o : changed) {
            for (int at : {o, o + 1, o + 2, o + 3, o + 4}) {
                if (at > 0 && at < int(nork::HA_DATA_AREA_SIZE))
                    cuts.push_back({n, HEAD + std::size_t(at)});
            }
        }
        for (const Cut& cut : cuts) {
            SCOPED_TRACE(describe(cut) + " (page " + std::to_string(page) + ")");
            ++cases;
            restore(baseline);
            power->arm(cut.write);
            drive->tearPageWrite(cut.write, static_cast<std::uint32_t>(cut.keep), cut.lost);
            EXPECT_NE(op.run(*cookies), STATUS_OK);
            EXPECT_TRUE(power->off());
            power->powerOn();
            drive->clearFaults();

            // The drive holds the writes before the cut and the torn one.
            HAPages expected = pre;
            if (!cut.lost) {
                std::copy_n(writes[n - 1].data.begin(), cut.keep, expected[page].begin());
            }
            const HAPages left = image();
            ASSERT_EQ(left, expected);

            const auto area = nork::test::checkHAArea(left);
            const bool breakAllowed = !cut.lost && tearRunsThroughAHeader(changed, cut.keep);
            if (!area.ok()) {
                ++broken;
                EXPECT_TRUE(breakAllowed) << "stream broken: " << area.error;
            }
            // Where the format cannot tell (no checksum): a record rewritten
            // in place whose pages the cut leaves partly new, or a torn page
            // holding a written record's header and the first part of it.
            const bool headerTorn = !cut.lost && headerPages.count(page) > 0;
            const bool mixAllowed =
                recordPages.count(page) > 0 && (op.placement == Placement::InPlace || headerTorn);
            for (const Name& name : names) {
                const Read r = fetch(*cookies, name);
                const auto old = before.find(name);
                const auto now = after.find(name);
                auto is = [&](Contents::const_iterator it, const Contents& m) {
                    return it == m.end() ? r.status == STATUS_DATA_NOT_FOUND
                                         : r.status == STATUS_OK && r.value == it->second;
                };
                if (is(old, before) || (touched.count(name) && is(now, after)))
                    continue;
                if (!area.ok() && r.status == STATUS_DATA_NOT_FOUND)
                    continue;  // behind the break
                if (touched.count(name) && mixAllowed && r.status == STATUS_OK) {
                    ++mixed;
                    continue;
                }
                // Such a tear can leave a record's header and its value's
                // length from different versions: it no longer parses.
                if (touched.count(name) && headerTorn && r.status == STATUS_DATA_NOT_FOUND) {
                    ++unreadable;
                    continue;
                }
                ADD_FAILURE() << describe(name) << (touched.count(name) ? " (touched)" : "")
                              << " reads status " << r.status << ", " << r.value.size() << " bytes";
            }
            if (!area.ok()) {
                // Later operations keep to the area's pages.
                EXPECT_NE(cookies->setInt("after", "cut", 1), nork::STATUS_ERROR);
                cookies->removeSection("alpha");
                std::uint64_t free = 0;
                cookies->getFreeSpace(free);
            }
            ASSERT_EQ(power->outOfRange, 0u);
            if (HasFatalFailure())
                return;
        }
    }
    RecordProperty("cases", cases);
    std::printf("%s: %zu writes, %d cuts: %d broke the stream, %d read mixed, %d unreadable\n",
                op.name, writes.size(), cases, broken, mixed, unreadable);
}

INSTANTIATE_TEST_SUITE_P(Operations, CookiePowerCut, ::testing::ValuesIn(operations()),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace qzemu::e2e
