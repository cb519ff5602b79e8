// The portable half of the inventory: the backend list, the interface-path
// vocabulary, snapshots and the drive-letter table. The table's system calls
// (flock, statvfs, syncfs) live in linux/Volumes.cpp; links are handled with
// std::filesystem.
#include "port/DeviceInventory.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

#include "port/System.h"
#include "port/Utf.h"
#include "port/linux/Volumes.h"

namespace nork::port {

namespace fs = std::filesystem;

std::u16string interfaceClassGuid(InterfaceClass cls) {
    switch (cls) {
        case InterfaceClass::Volume:
            return u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
        case InterfaceClass::Disk:
        case InterfaceClass::CdRom:
            return u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        case InterfaceClass::UsbDevice:
            return u"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
        case InterfaceClass::UsbHostController:
            return u"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        case InterfaceClass::Hid:
            return u"{4d1e55b2-f16f-11cf-88cb-001111000030}";
    }
    return {};
}

// ---------------------------------------------------------------------------
// Backends

namespace {

struct BackendList {
    std::mutex mutex;
    std::vector<std::shared_ptr<IInventoryBackend>> backends;  // most recent first
    bool defaultsLoaded = false;
};

BackendList& backendList() {
    static BackendList* list = new BackendList;  // outlives every static user
    return *list;
}

void loadDefaultsLocked(BackendList& list) {
    if (list.defaultsLoaded)
        return;
    list.defaultsLoaded = true;
    list.backends.push_back(makeSysfsInventoryBackend());
}

std::vector<std::shared_ptr<IInventoryBackend>> currentBackends() {
    BackendList& list = backendList();
    std::lock_guard<std::mutex> guard(list.mutex);
    loadDefaultsLocked(list);
    return list.backends;
}

}  // namespace

void registerInventoryBackend(std::shared_ptr<IInventoryBackend> backend) {
    if (!backend)
        return;
    BackendList& list = backendList();
    std::lock_guard<std::mutex> guard(list.mutex);
    // A backend registered before first use joins the default set rather
    // than replacing it.
    loadDefaultsLocked(list);
    if (std::find(list.backends.begin(), list.backends.end(), backend) != list.backends.end())
        return;
    list.backends.insert(list.backends.begin(), std::move(backend));
}

void clearInventoryBackends() {
    BackendList& list = backendList();
    std::lock_guard<std::mutex> guard(list.mutex);
    list.backends.clear();
    list.defaultsLoaded = true;
}

void resetInventoryBackends() {
    BackendList& list = backendList();
    std::lock_guard<std::mutex> guard(list.mutex);
    list.backends.clear();
    list.defaultsLoaded = false;
}

// ---------------------------------------------------------------------------
// Paths

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// One identity field of a path: outer blanks trimmed, the parsers'
// separators dropped, control characters (and inner blanks, where asked)
// turned into '_'.
std::u16string pathField(const std::string& text, bool blanksToUnderscore) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    const std::u16string wide = utf::toUtf16(std::string_view(text).substr(begin, end - begin));
    std::u16string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        if (c == u'#' || c == u'&' || c == u'{')
            continue;
        if (c < 0x20 || c == 0x7F || (blanksToUnderscore && c == u' '))
            c = u'_';
        out.push_back(c);
    }
    return out;
}

// "<Disk|CdRom>&Ven_<v>&Prod_<p>&Rev_<r>#<serial>&<lun>": the storage
// driver's name of one LUN, shared by disk and volume paths.
std::u16string storageInstance(const StorageUnitFacts& unit) {
    std::u16string s = unit.cdrom ? u"CdRom" : u"Disk";
    s += u"&Ven_" + pathField(unit.vendor, true);
    s += u"&Prod_" + pathField(unit.product, true);
    s += u"&Rev_" + pathField(unit.revision, true);
    s += u"#" + pathField(unit.serial, false);
    s += u"&" + utf::toUtf16(std::to_string(unit.lun));
    return s;
}

}  // namespace

std::u16string makeDiskPath(const StorageUnitFacts& unit) {
    return u"\\\\?\\USBSTOR#" + storageInstance(unit) + u"#" +
           interfaceClassGuid(unit.cdrom ? InterfaceClass::CdRom : InterfaceClass::Disk);
}

std::u16string makeVolumePath(const StorageUnitFacts& unit) {
    return u"\\\\?\\STORAGE#Volume#_??_USBSTOR#" + storageInstance(unit) + u"#" +
           interfaceClassGuid(InterfaceClass::Volume);
}

std::u16string makeUsbDevicePath(std::uint16_t vendorId, std::uint16_t productId,
                                 const std::string& serial) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", vendorId, productId);
    return u"\\\\?\\usb#" + utf::toUtf16(ids) + u"#" + pathField(serial, false) + u"#" +
           interfaceClassGuid(InterfaceClass::UsbDevice);
}

// ---------------------------------------------------------------------------
// The drive-letter table

namespace {

constexpr char16_t FIRST_LETTER = u'D';
constexpr char16_t LAST_LETTER = u'Z';
constexpr std::size_t LETTER_COUNT = LAST_LETTER - FIRST_LETTER + 1;

struct LetterState {
    std::mutex mutex;  // the flock orders processes; this orders our threads
    std::string configuredDir;
};

LetterState& letterState() {
    static LetterState* state = new LetterState;
    return *state;
}

std::string letterDirNow() {
    LetterState& s = letterState();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.configuredDir.empty() ? volumes::defaultLetterDir() : s.configuredDir;
}

bool isTableLetter(char16_t letter) {
    return letter >= FIRST_LETTER && letter <= LAST_LETTER;
}

std::string linkName(char16_t letter) {
    return std::string(1, static_cast<char>(letter - u'A' + 'a')) + ":";
}

// Mount directories are compared as text, so one spelling per directory.
std::string normalDir(const std::string& dir) {
    std::string s = fs::path(dir).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

bool directoryExists(const std::string& dir) {
    std::error_code ec;
    return !dir.empty() && fs::is_directory(dir, ec);
}

struct LetterEntry {
    bool used = false;   // a link (or something else) occupies the name
    std::string target;  // the link's target; empty for a non-link
};

using LetterTable = std::array<LetterEntry, LETTER_COUNT>;

LetterEntry readEntry(const std::string& dir, char16_t letter) {
    LetterEntry entry;
    std::error_code ec;
    const fs::path link = fs::path(dir) / linkName(letter);
    const fs::file_status st = fs::symlink_status(link, ec);
    if (ec || !fs::exists(st))
        return entry;
    entry.used = true;
    if (fs::is_symlink(st)) {
        const fs::path target = fs::read_symlink(link, ec);
        if (!ec)
            entry.target = target.string();
    }
    return entry;
}

LetterTable readTable(const std::string& dir) {
    LetterTable table;
    for (std::size_t i = 0; i < LETTER_COUNT; ++i)
        table[i] = readEntry(dir, static_cast<char16_t>(FIRST_LETTER + i));
    return table;
}

// Replaces the link in one step, so readers without the lock never see the
// letter missing.
bool writeLink(const std::string& dir, char16_t letter, const std::string& target) {
    std::error_code ec;
    const fs::path tmp =
        fs::path(dir) / ("." + linkName(letter) + std::to_string(currentProcessId()) + ".tmp");
    fs::remove(tmp, ec);
    fs::create_symlink(target, tmp, ec);
    if (ec)
        return false;
    fs::rename(tmp, fs::path(dir) / linkName(letter), ec);
    if (ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

// The table locked for one update: the in-process mutex, then the file lock
// the user's other processes take.
class LockedTable {
  public:
    LockedTable() : m_guard(letterState().mutex) {
        m_dir = letterState().configuredDir.empty() ? volumes::defaultLetterDir()
                                                    : letterState().configuredDir;
        m_ok = !createDirectories(m_dir) && !m_lock.acquire(m_dir + "/.lock");
        if (m_ok)
            m_table = readTable(m_dir);
    }

    bool ok() const { return m_ok; }

    char16_t assign(const std::string& mountDir) {
        if (!m_ok || mountDir.empty())
            return 0;
        const std::string target = normalDir(mountDir);
        for (std::size_t i = 0; i < LETTER_COUNT; ++i) {
            if (m_table[i].used && m_table[i].target == target)
                return static_cast<char16_t>(FIRST_LETTER + i);
        }
        std::size_t pick = LETTER_COUNT;
        for (std::size_t i = 0; i < LETTER_COUNT && pick == LETTER_COUNT; ++i) {
            if (!m_table[i].used)
                pick = i;
        }
        // No free letter: take one whose volume is away. Only links qualify;
        // anything else in the directory is not ours to replace.
        for (std::size_t i = 0; i < LETTER_COUNT && pick == LETTER_COUNT; ++i) {
            if (!m_table[i].target.empty() && !directoryExists(m_table[i].target))
                pick = i;
        }
        if (pick == LETTER_COUNT)
            return 0;
        const auto letter = static_cast<char16_t>(FIRST_LETTER + pick);
        if (!writeLink(m_dir, letter, target))
            return 0;
        m_table[pick] = LetterEntry{true, target};
        return letter;
    }

    bool release(char16_t letter) {
        if (!m_ok || !isTableLetter(letter))
            return false;
        LetterEntry& entry = m_table[letter - FIRST_LETTER];
        if (!entry.used || entry.target.empty())
            return false;
        std::error_code ec;
        if (!fs::remove(fs::path(m_dir) / linkName(letter), ec))
            return false;
        entry = LetterEntry{};
        return true;
    }

  private:
    std::lock_guard<std::mutex> m_guard;
    std::string m_dir;
    volumes::FileLock m_lock;
    LetterTable m_table;
    bool m_ok = false;
};

char16_t upperLetter(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - u'a' + u'A');
    return (c >= u'A' && c <= u'Z') ? c : 0;
}

// The letter of "E", "E:", "E:\" or "E:/"; 0 for anything else.
char16_t rootLetter(const std::u16string& root) {
    if (root.empty() || root.size() > 3)
        return 0;
    if (root.size() >= 2 && root[1] != u':')
        return 0;
    if (root.size() == 3 && root[2] != u'\\' && root[2] != u'/')
        return 0;
    return upperLetter(root[0]);
}

// FNV-1a over the text, from a given basis.
std::uint64_t fnv1a(const std::string& text, std::uint64_t basis) {
    std::uint64_t h = basis;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace

void setDriveLetterDir(const std::string& dir) {
    LetterState& s = letterState();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.configuredDir = dir;
}

std::string driveLetterDir() {
    return letterDirNow();
}

char16_t assignDriveLetter(const std::string& mountDir) {
    LockedTable table;
    return table.assign(mountDir);
}

bool releaseDriveLetter(char16_t letter) {
    LockedTable table;
    return table.release(upperLetter(letter));
}

std::string driveLetterTarget(char16_t letter, bool* present) {
    if (present)
        *present = false;
    letter = upperLetter(letter);
    if (!isTableLetter(letter))
        return {};
    const LetterEntry entry = readEntry(letterDirNow(), letter);
    if (present)
        *present = directoryExists(entry.target);
    return entry.target;
}

// ---------------------------------------------------------------------------
// Snapshots

namespace {

// Every backend's devices with their paths; no letters yet.
InventorySnapshot collectUnits() {
    InventorySnapshot snap;
    std::set<std::u16string> seenDisks;
    std::set<std::string> seenHids;
    for (const auto& backend : currentBackends()) {
        std::vector<StorageUnitFacts> units;
        std::vector<HidInterfaceInfo> hids;
        try {
            backend->collect(units, hids);
        } catch (const std::exception&) {
            continue;  // a backend that fails shows nothing this time
        }
        for (StorageUnitFacts& facts : units) {
            StorageUnit unit;
            unit.diskPath = makeDiskPath(facts);
            // A device seen by two backends counts once, as the first saw it.
            if (!seenDisks.insert(unit.diskPath).second)
                continue;
            if (!facts.mountDir.empty()) {
                facts.mountDir = normalDir(facts.mountDir);
                unit.volumePath = makeVolumePath(facts);
            }
            unit.usbDevicePath = makeUsbDevicePath(facts.vendorId, facts.productId, facts.serial);
            unit.facts = std::move(facts);
            snap.units.push_back(std::move(unit));
        }
        for (HidInterfaceInfo& hid : hids) {
            if (seenHids.insert(hid.path).second)
                snap.hids.push_back(std::move(hid));
        }
    }

    return snap;
}

}  // namespace

InventorySnapshot snapshot() {
    InventorySnapshot snap = collectUnits();
    // One table update for the whole snapshot, in snapshot order.
    bool anyVolume = false;
    for (const StorageUnit& unit : snap.units)
        anyVolume = anyVolume || !unit.facts.mountDir.empty();
    if (anyVolume) {
        LockedTable table;
        for (StorageUnit& unit : snap.units) {
            if (!unit.facts.mountDir.empty())
                unit.letter = table.assign(unit.facts.mountDir);
        }
    }
    return snap;
}

InventorySnapshot peekSnapshot() {
    InventorySnapshot snap = collectUnits();
    bool anyVolume = false;
    for (const StorageUnit& unit : snap.units)
        anyVolume = anyVolume || !unit.facts.mountDir.empty();
    if (!anyVolume)
        return snap;
    // Links are replaced in one step, so the table reads whole without the lock.
    const LetterTable table = readTable(letterDirNow());
    for (StorageUnit& unit : snap.units) {
        for (std::size_t i = 0; i < LETTER_COUNT && !unit.facts.mountDir.empty(); ++i) {
            if (table[i].used && table[i].target == unit.facts.mountDir) {
                unit.letter = static_cast<char16_t>(FIRST_LETTER + i);
                break;
            }
        }
    }
    return snap;
}

std::vector<std::u16string> enumerateInterfaces(InterfaceClass cls) {
    std::vector<std::u16string> out;
    if (cls == InterfaceClass::UsbHostController)
        return out;
    const InventorySnapshot snap = snapshot();
    auto add = [&out](const std::u16string& path) {
        if (!path.empty() && std::find(out.begin(), out.end(), path) == out.end())
            out.push_back(path);
    };
    if (cls == InterfaceClass::Hid) {
        for (const HidInterfaceInfo& hid : snap.hids)
            add(utf::toUtf16(hid.path));
        return out;
    }
    for (const StorageUnit& unit : snap.units) {
        switch (cls) {
            case InterfaceClass::Volume:
                add(unit.volumePath);
                break;
            case InterfaceClass::Disk:
                if (!unit.facts.cdrom)
                    add(unit.diskPath);
                break;
            case InterfaceClass::CdRom:
                if (unit.facts.cdrom)
                    add(unit.diskPath);
                break;
            case InterfaceClass::UsbDevice:
                add(unit.usbDevicePath);
                break;
            default:
                break;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Roots

namespace {

// The snapshot's unit behind a letter whose volume is present. A volume
// its backend reports dismounted while the drive stays on the bus (its
// directory absent for now) keeps its letter, as on Windows: the drive has
// not left.
const StorageUnit* presentUnit(const InventorySnapshot& snap, char16_t letter) {
    for (const StorageUnit& unit : snap.units) {
        if (unit.letter == letter && !unit.facts.mountDir.empty())
            return &unit;
    }
    return nullptr;
}

}  // namespace

std::vector<std::u16string> logicalDriveRoots() {
    const InventorySnapshot snap = snapshot();
    std::vector<std::u16string> roots;
    for (char16_t letter = FIRST_LETTER; letter <= LAST_LETTER; ++letter) {
        if (presentUnit(snap, letter) != nullptr)
            roots.push_back(std::u16string{letter, u':', u'\\'});
    }
    return roots;
}

int driveType(const std::u16string& root) {
    const char16_t letter = rootLetter(root);
    // An unused letter needs no look at the devices (a dangling one may be
    // a dismounted volume's).
    if (driveLetterTarget(letter).empty())
        return DRIVE_NO_ROOT_DIR;
    const InventorySnapshot snap = snapshot();
    const StorageUnit* unit = presentUnit(snap, letter);
    if (unit == nullptr)
        return DRIVE_NO_ROOT_DIR;
    return unit->facts.cdrom ? DRIVE_CDROM : DRIVE_REMOVABLE;
}

std::string rootDirectory(const std::u16string& root) {
    bool present = false;
    std::string target = driveLetterTarget(rootLetter(root), &present);
    return present ? target : std::string();
}

std::u16string volumeNameOfRoot(const std::u16string& root) {
    const std::string dir = rootDirectory(root);
    if (dir.empty())
        return {};
    const std::uint64_t a = fnv1a(dir, 0xcbf29ce484222325ull);
    const std::uint64_t b = fnv1a(dir, a ^ 0x9e3779b97f4a7c15ull);
    char text[64];
    std::snprintf(text, sizeof text, "\\\\?\\Volume{%08x-%04x-%04x-%04x-%012llx}\\",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(a & 0xFFFF), static_cast<unsigned>(b >> 48),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return utf::toUtf16(text);
}

PortError diskFreeSpace(const std::u16string& root, std::uint64_t& freeBytes,
                        std::uint64_t& totalBytes) {
    freeBytes = totalBytes = 0;
    const std::string dir = rootDirectory(root);
    if (dir.empty())
        return PortError{PortErrc::NotFound, 0};
    std::uint64_t f = 0;
    std::uint64_t t = 0;
    if (PortError e = volumes::fileSystemSpace(dir, f, t))
        return e;
    freeBytes = f;
    totalBytes = t;
    return PortError::ok();
}

PortError flushVolume(const std::u16string& root) {
    const std::string dir = rootDirectory(root);
    if (dir.empty())
        return PortError{PortErrc::NotFound, 0};
    return volumes::syncFileSystem(dir);
}

}  // namespace nork::port
