#include "port/SettingsHive.h"
#include "port/linux/Errno.h"

#include "port/Utf.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "port/System.h"

namespace nork::port {

HiveValue HiveValue::ofDword(std::uint32_t v) {
    HiveValue h;
    h.type = HiveValueType::Dword;
    h.dword = v;
    return h;
}

HiveValue HiveValue::ofString(std::u16string v) {
    HiveValue h;
    h.type = HiveValueType::String;
    h.text = std::move(v);
    return h;
}

HiveValue HiveValue::ofBinary(std::vector<std::uint8_t> v) {
    HiveValue h;
    h.type = HiveValueType::Binary;
    h.bytes = std::move(v);
    return h;
}

bool HiveValue::operator==(const HiveValue& other) const {
    if (type != other.type)
        return false;
    switch (type) {
        case HiveValueType::Dword:
            return dword == other.dword;
        case HiveValueType::String:
            return text == other.text;
        case HiveValueType::Binary:
            return bytes == other.bytes;
    }
    return false;
}

namespace {

PortError failure(PortErrc code) {
    return PortError{code, 0};
}

// ---- text conversions (strict: the file must round-trip) -------------------

bool utf8ToUtf16(std::string_view s, std::u16string& out) {
    return utf::toUtf16(s, out, true);
}

bool utf16ToUtf8(std::u16string_view s, std::string& out) {
    return utf::toUtf8(s, out, true);
}

// Case folding for name comparison: ASCII, Latin-1, Greek and Cyrillic
// capitals, which covers the names this system and its users write.
char16_t foldChar(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return static_cast<char16_t>(c + 0x20);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<char16_t>(c + 0x20);
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
        return static_cast<char16_t>(c + 0x20);
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<char16_t>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<char16_t>(c + 0x50);
    return c;
}

std::u16string fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        c = foldChar(c);
    return out;
}

// "\A\\b\" -> "A\b": the stored form of a key path.
std::u16string normaliseKey(std::u16string_view key) {
    std::u16string out;
    std::size_t i = 0;
    while (i < key.size()) {
        std::size_t j = key.find(u'\\', i);
        if (j == std::u16string_view::npos)
            j = key.size();
        if (j > i) {
            if (!out.empty())
                out.push_back(u'\\');
            out.append(key.substr(i, j - i));
        }
        i = j + 1;
    }
    return out;
}

// ---- the parsed file ---------------------------------------------------------

struct Entry {
    bool isValue = false;
    std::u16string name;  // value name as written
    HiveValue value;
    std::string raw;  // comment or unreadable line, kept verbatim
};

struct Section {
    std::u16string path;    // normalised, stored case
    std::u16string folded;  // for comparison
    std::vector<Entry> entries;
};

struct Document {
    std::vector<std::string> preamble;  // raw lines before the first section
    std::vector<Section> sections;
    std::size_t skipped = 0;
    std::size_t firstSkipped = 0;
    bool bom = false;  // the file began with a UTF-8 byte-order mark
};

constexpr std::string_view BOM = "\xEF\xBB\xBF";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a quoted string at the start of `s`; `s` is advanced past it.
bool parseQuoted(std::string_view& s, std::u16string& out) {
    if (s.empty() || s.front() != '"')
        return false;
    std::string bytes;
    std::size_t i = 1;
    for (;; ++i) {
        if (i >= s.size())
            return false;
        char c = s[i];
        if (c == '"')
            break;
        if (c == '\\') {
            if (++i >= s.size())
                return false;
            switch (s[i]) {
                case '\\':
                    bytes.push_back('\\');
                    break;
                case '"':
                    bytes.push_back('"');
                    break;
                case 'n':
                    bytes.push_back('\n');
                    break;
                case 'r':
                    bytes.push_back('\r');
                    break;
                default:
                    return false;
            }
        } else {
            bytes.push_back(c);
        }
    }
    s.remove_prefix(i + 1);
    return utf8ToUtf16(bytes, out);
}

bool parseValueData(std::string_view s, HiveValue& out) {
    s = trim(s);
    if (!s.empty() && s.front() == '"') {
        std::u16string text;
        if (!parseQuoted(s, text) || !trim(s).empty())
            return false;
        out = HiveValue::ofString(std::move(text));
        return true;
    }
    auto startsWith = [&](std::string_view p) {
        return s.size() >= p.size() &&
               std::equal(p.begin(), p.end(), s.begin(), [](char a, char b) {
                   return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b + 0x20) : b);
               });
    };
    if (startsWith("dword:")) {
        std::string_view digits = trim(s.substr(6));
        if (digits.empty() || digits.size() > 8)
            return false;
        std::uint32_t v = 0;
        for (char c : digits) {
            int d = hexDigit(c);
            if (d < 0)
                return false;
            v = (v << 4) | static_cast<std::uint32_t>(d);
        }
        out = HiveValue::ofDword(v);
        return true;
    }
    if (startsWith("hex:")) {
        std::string_view rest = s.substr(4);
        std::vector<std::uint8_t> bytes;
        while (!(rest = trim(rest)).empty()) {
            if (rest.size() < 2)
                return false;
            int hi = hexDigit(rest[0]);
            int lo = hexDigit(rest[1]);
            if (hi < 0 || lo < 0)
                return false;
            bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            rest = trim(rest.substr(2));
            if (rest.empty())
                break;
            if (rest.front() != ',')
                return false;
            rest.remove_prefix(1);
            if (trim(rest).empty())
                return false;  // trailing comma
        }
        out = HiveValue::ofBinary(std::move(bytes));
        return true;
    }
    return false;
}

Section* findSection(Document& doc, const std::u16string& folded) {
    for (auto& sec : doc.sections) {
        if (sec.folded == folded)
            return &sec;
    }
    return nullptr;
}

const Section* findSection(const Document& doc, const std::u16string& folded) {
    return findSection(const_cast<Document&>(doc), folded);
}

Entry* findValue(Section& sec, const std::u16string& foldedName) {
    for (auto& e : sec.entries) {
        if (e.isValue && fold(e.name) == foldedName)
            return &e;
    }
    return nullptr;
}

Section& addSection(Document& doc, const std::u16string& path) {
    Section sec;
    sec.path = path;
    sec.folded = fold(path);
    doc.sections.push_back(std::move(sec));
    return doc.sections.back();
}

Document parse(std::string_view text) {
    Document doc;
    Section* current = nullptr;
    std::size_t lineNo = 0;
    auto skip = [&](std::string_view raw) {
        ++doc.skipped;
        if (doc.firstSkipped == 0)
            doc.firstSkipped = lineNo;
        std::string kept(raw);
        if (current != nullptr) {
            Entry e;
            e.raw = std::move(kept);
            current->entries.push_back(std::move(e));
        } else {
            doc.preamble.push_back(std::move(kept));
        }
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        if (lineNo == 1 && raw.substr(0, 3) == BOM) {
            raw.remove_prefix(3);
            doc.bom = true;
        }
        std::string_view line = trim(raw);
        if (line.empty())
            continue;
        if (line.front() == ';' || line.front() == '#') {
            if (current != nullptr) {
                Entry e;
                e.raw = std::string(raw);
                current->entries.push_back(std::move(e));
            } else {
                doc.preamble.emplace_back(raw);
            }
            continue;
        }
        if (line.front() == '[') {
            std::u16string path;
            if (line.back() != ']' || !utf8ToUtf16(trim(line.substr(1, line.size() - 2)), path) ||
                (path = normaliseKey(path)).empty()) {
                skip(raw);
                continue;
            }
            // A key written twice is one key: later lines join the first.
            current = findSection(doc, fold(path));
            if (current == nullptr)
                current = &addSection(doc, path);
            continue;
        }
        if (current == nullptr) {
            skip(raw);
            continue;
        }
        std::u16string name;
        std::string_view rest = line;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else if (!parseQuoted(rest, name)) {
            skip(raw);
            continue;
        }
        rest = trim(rest);
        HiveValue value;
        if (rest.empty() || rest.front() != '=' || !parseValueData(rest.substr(1), value)) {
            skip(raw);
            continue;
        }
        if (Entry* existing = findValue(*current, fold(name))) {
            existing->value = std::move(value);  // the last line of a name wins
            continue;
        }
        Entry e;
        e.isValue = true;
        e.name = std::move(name);
        e.value = std::move(value);
        current->entries.push_back(std::move(e));
    }
    return doc;
}

bool quote(std::u16string_view text, std::string& out) {
    std::string utf8;
    if (!utf16ToUtf8(text, utf8))
        return false;
    out.push_back('"');
    for (char c : utf8) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
                break;
        }
    }
    out.push_back('"');
    return true;
}

bool serialiseValue(const HiveValue& v, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    switch (v.type) {
        case HiveValueType::Dword: {
            out += "dword:";
            for (int shift = 28; shift >= 0; shift -= 4)
                out.push_back(hex[(v.dword >> shift) & 0xF]);
            return true;
        }
        case HiveValueType::String:
            return quote(v.text, out);
        case HiveValueType::Binary: {
            out += "hex:";
            for (std::size_t i = 0; i < v.bytes.size(); ++i) {
                if (i > 0)
                    out.push_back(',');
                out.push_back(hex[v.bytes[i] >> 4]);
                out.push_back(hex[v.bytes[i] & 0xF]);
            }
            return true;
        }
    }
    return false;
}

std::string serialise(const Document& doc) {
    std::string out;
    for (const auto& raw : doc.preamble)
        out += raw + "\n";
    if (!doc.preamble.empty())
        out += "\n";
    for (const auto& sec : doc.sections) {
        std::string path;
        utf16ToUtf8(sec.path, path);  // checked when the key was added
        out += "[" + path + "]\n";
        for (const auto& e : sec.entries) {
            if (!e.isValue) {
                out += e.raw + "\n";
                continue;
            }
            if (e.name.empty()) {
                out += "@=";
            } else {
                quote(e.name, out);
                out += "=";
            }
            serialiseValue(e.value, out);
            out += "\n";
        }
        out += "\n";
    }
    // The mark goes back in front. Without one, a kept line that starts
    // with the mark's bytes (blank lines before it are not kept) must not
    // become the first line, where it would read as the mark.
    if (doc.bom)
        return std::string(BOM) + out;
    if (out.compare(0, BOM.size(), BOM) == 0)
        return "\n" + out;
    return out;
}

// ---- key queries on a document -------------------------------------------

bool isUnder(const std::u16string& foldedPath, const std::u16string& foldedKey) {
    return foldedPath.size() > foldedKey.size() + 1 &&
           foldedPath.compare(0, foldedKey.size(), foldedKey) == 0 &&
           foldedPath[foldedKey.size()] == u'\\';
}

bool keyExistsIn(const Document& doc, const std::u16string& foldedKey) {
    if (foldedKey.empty())
        return true;  // the root itself
    return std::any_of(doc.sections.begin(), doc.sections.end(), [&](const Section& s) {
        return s.folded == foldedKey || isUnder(s.folded, foldedKey);
    });
}

bool hasSubkeys(const Document& doc, const std::u16string& foldedKey) {
    return std::any_of(doc.sections.begin(), doc.sections.end(), [&](const Section& s) {
        return foldedKey.empty() ? true : isUnder(s.folded, foldedKey);
    });
}

// ---- file access ---------------------------------------------------------------

class FileLock {
  public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() {
        if (m_fd >= 0)
            ::close(m_fd);  // closing releases the flock
    }

    // Exclusive locks must be had; a reader without a usable lock file (a
    // read-only system directory) reads unlocked, which the atomic rename of
    // writers makes safe.
    PortError acquire(const std::string& hivePath, bool exclusive) {
        std::string lockPath = hivePath + ".lock";
        m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0 && !exclusive)
            m_fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return exclusive ? fromErrno(errno) : PortError::ok();
        int r = 0;
        do {
            r = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
        } while (r != 0 && errno == EINTR);
        if (r != 0)
            return fromErrno(errno);
        return PortError::ok();
    }

  private:
    int m_fd = -1;
};

PortError readWhole(const std::string& path, std::string& out, mode_t* mode) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return PortError::ok();  // an empty root
        return fromErrno(errno);
    }
    struct stat st {};
    if (mode != nullptr && ::fstat(fd, &st) == 0)
        *mode = st.st_mode & 07777;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            return fromErrno(err);
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return PortError::ok();
}

PortError writeAtomically(const std::string& path, const std::string& text, mode_t mode) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return fromErrno(errno);
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return fromErrno(err);
    };
    if (::fchmod(fd, mode) != 0)
        return fail(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        return fromErrno(err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        return fromErrno(err);
    }
    return PortError::ok();
}

std::string parentDir(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

HiveResult withCounts(PortError err, const Document& doc) {
    HiveResult r;
    r.error = err;
    r.skippedLines = doc.skipped;
    r.firstSkippedLine = doc.firstSkipped;
    return r;
}

HiveResult plain(PortError err) {
    HiveResult r;
    r.error = err;
    return r;
}

// Runs a read-only query on the parsed root file under a shared lock.
template <class Fn>
HiveResult readDocument(const std::string& path, Fn&& query) {
    if (path.empty())
        return plain(failure(PortErrc::InvalidArgument));
    FileLock lock;
    if (PortError e = lock.acquire(path, false))
        return plain(e);
    std::string text;
    if (PortError e = readWhole(path, text, nullptr))
        return plain(e);
    Document doc = parse(text);
    return withCounts(query(static_cast<const Document&>(doc)), doc);
}

// Runs a change under the exclusive lock and writes the file when the change
// says it modified the document.
template <class Fn>
HiveResult modifyDocument(const std::string& path, Fn&& change) {
    if (path.empty())
        return plain(failure(PortErrc::InvalidArgument));
    if (PortError e = createDirectories(parentDir(path)))
        return plain(e);
    FileLock lock;
    if (PortError e = lock.acquire(path, true))
        return plain(e);
    std::string text;
    mode_t mode = 0644;
    if (PortError e = readWhole(path, text, &mode))
        return plain(e);
    Document doc = parse(text);
    bool modified = false;
    PortError err = change(doc, modified);
    if (!err && modified)
        err = writeAtomically(path, serialise(doc), mode);
    return withCounts(err, doc);
}

std::string envOr(const char* name, std::string fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::move(fallback);
}

bool validRoot(HiveRoot root) {
    int i = static_cast<int>(root);
    return i >= 0 && i < HIVE_ROOT_COUNT;
}

}  // namespace

SettingsHive::SettingsHive() : m_fromEnvironment(true) {}

SettingsHive::SettingsHive(std::string hkcrPath, std::string hkcuPath, std::string hklmPath)
    : m_fromEnvironment(false),
      m_paths{std::move(hkcrPath), std::move(hkcuPath), std::move(hklmPath)} {}

SettingsHive& SettingsHive::processDefault() {
    static SettingsHive* hive = new SettingsHive();  // never destroyed: used at exit
    return *hive;
}

std::string SettingsHive::filePath(HiveRoot root) const {
    if (!validRoot(root))
        return {};
    if (!m_fromEnvironment)
        return m_paths[static_cast<int>(root)];
    switch (root) {
        case HiveRoot::ClassesRoot:
            return envOr("QZ_HKCR_HIVE", "/var/lib/qz/hkcr.reg");
        case HiveRoot::CurrentUser:
            return envOr("QZ_HKCU_HIVE", userConfigDir() + "/qz/hkcu.reg");
        case HiveRoot::LocalMachine:
            return envOr("QZ_HKLM_HIVE", "/var/lib/qz/hklm.reg");
    }
    return {};
}

HiveResult SettingsHive::keyExists(HiveRoot root, std::u16string_view key, bool& exists) const {
    exists = false;
    std::u16string folded = fold(normaliseKey(key));
    return readDocument(filePath(root), [&](const Document& doc) {
        exists = keyExistsIn(doc, folded);
        return PortError::ok();
    });
}

HiveResult SettingsHive::createKey(HiveRoot root, std::u16string_view key) {
    std::u16string path = normaliseKey(key);
    std::string check;
    if (path.empty() || !utf16ToUtf8(path, check))
        return plain(failure(PortErrc::InvalidArgument));
    std::u16string folded = fold(path);
    return modifyDocument(filePath(root), [&](Document& doc, bool& modified) {
        if (!keyExistsIn(doc, folded)) {
            addSection(doc, path);
            modified = true;
        }
        return PortError::ok();
    });
}

HiveResult SettingsHive::readValue(HiveRoot root, std::u16string_view key, std::u16string_view name,
                                   HiveValue& out) const {
    std::u16string folded = fold(normaliseKey(key));
    std::u16string foldedName = fold(name);
    return readDocument(filePath(root), [&](const Document& doc) {
        const Section* sec = findSection(doc, folded);
        if (sec == nullptr)
            return failure(PortErrc::NotFound);
        const Entry* e = findValue(const_cast<Section&>(*sec), foldedName);
        if (e == nullptr)
            return failure(PortErrc::NotFound);
        out = e->value;
        return PortError::ok();
    });
}

HiveResult SettingsHive::writeValue(HiveRoot root, std::u16string_view key,
                                    std::u16string_view name, const HiveValue& value) {
    std::u16string path = normaliseKey(key);
    std::string check;
    if (path.empty() || !utf16ToUtf8(path, check) || !utf16ToUtf8(name, check) ||
        (value.type == HiveValueType::String && !utf16ToUtf8(value.text, check))) {
        return plain(failure(PortErrc::InvalidArgument));
    }
    std::u16string folded = fold(path);
    std::u16string foldedName = fold(name);
    return modifyDocument(filePath(root), [&](Document& doc, bool& modified) {
        Section* sec = findSection(doc, folded);
        if (sec == nullptr)
            sec = &addSection(doc, path);
        if (Entry* e = findValue(*sec, foldedName)) {
            e->value = value;
        } else {
            Entry n;
            n.isValue = true;
            n.name = std::u16string(name);
            n.value = value;
            sec->entries.push_back(std::move(n));
        }
        modified = true;
        return PortError::ok();
    });
}

HiveResult SettingsHive::deleteValue(HiveRoot root, std::u16string_view key,
                                     std::u16string_view name) {
    std::u16string folded = fold(normaliseKey(key));
    std::u16string foldedName = fold(name);
    return modifyDocument(filePath(root), [&](Document& doc, bool& modified) {
        Section* sec = findSection(doc, folded);
        if (sec == nullptr)
            return failure(PortErrc::NotFound);
        auto it = std::find_if(sec->entries.begin(), sec->entries.end(), [&](const Entry& e) {
            return e.isValue && fold(e.name) == foldedName;
        });
        if (it == sec->entries.end())
            return failure(PortErrc::NotFound);
        sec->entries.erase(it);
        modified = true;
        return PortError::ok();
    });
}

HiveResult SettingsHive::deleteKey(HiveRoot root, std::u16string_view key, bool withSubkeys) {
    std::u16string path = normaliseKey(key);
    if (path.empty())
        return plain(failure(PortErrc::InvalidArgument));
    std::u16string folded = fold(path);
    return modifyDocument(filePath(root), [&](Document& doc, bool& modified) {
        if (!keyExistsIn(doc, folded))
            return failure(PortErrc::NotFound);
        if (!withSubkeys && hasSubkeys(doc, folded))
            return failure(PortErrc::AccessDenied);
        // The parent must outlive its child even when only the child named it.
        std::size_t slash = path.rfind(u'\\');
        std::u16string parent = slash == std::u16string::npos ? u"" : path.substr(0, slash);
        std::erase_if(doc.sections, [&](const Section& s) {
            return s.folded == folded || isUnder(s.folded, folded);
        });
        if (!parent.empty() && !keyExistsIn(doc, fold(parent)))
            addSection(doc, parent);
        modified = true;
        return PortError::ok();
    });
}

HiveResult SettingsHive::enumSubkeys(HiveRoot root, std::u16string_view key,
                                     std::vector<std::u16string>& names) const {
    names.clear();
    std::u16string path = normaliseKey(key);
    std::u16string folded = fold(path);
    return readDocument(filePath(root), [&](const Document& doc) {
        if (!keyExistsIn(doc, folded))
            return failure(PortErrc::NotFound);
        std::vector<std::u16string> seen;
        std::size_t skip = path.empty() ? 0 : path.size() + 1;
        for (const auto& s : doc.sections) {
            if (!folded.empty() && !isUnder(s.folded, folded))
                continue;
            std::u16string child = s.path.substr(skip, s.path.find(u'\\', skip) - skip);
            std::u16string foldedChild = fold(child);
            if (std::find(seen.begin(), seen.end(), foldedChild) != seen.end())
                continue;
            seen.push_back(foldedChild);
            names.push_back(child);
        }
        return PortError::ok();
    });
}

HiveResult SettingsHive::enumValues(
    HiveRoot root, std::u16string_view key,
    std::vector<std::pair<std::u16string, HiveValue>>& values) const {
    values.clear();
    std::u16string folded = fold(normaliseKey(key));
    return readDocument(filePath(root), [&](const Document& doc) {
        if (!keyExistsIn(doc, folded))
            return failure(PortErrc::NotFound);
        if (const Section* sec = findSection(doc, folded)) {
            for (const auto& e : sec->entries) {
                if (e.isValue)
                    values.emplace_back(e.name, e.value);
            }
        }
        return PortError::ok();
    });
}

}  // namespace nork::port
