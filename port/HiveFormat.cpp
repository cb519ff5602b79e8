#include "port/HiveFormat.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>

#include "port/Utf.h"

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

namespace hive {
namespace {

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

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

constexpr std::string_view BOM = "\xEF\xBB\xBF";

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
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

void serialiseValue(const HiveValue& v, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    switch (v.type) {
        case HiveValueType::Dword:
            out += "dword:";
            for (int shift = 28; shift >= 0; shift -= 4)
                out.push_back(hex[(v.dword >> shift) & 0xF]);
            return;
        case HiveValueType::String:
            quote(v.text, out);
            return;
        case HiveValueType::Binary:
            out += "hex:";
            for (std::size_t i = 0; i < v.bytes.size(); ++i) {
                if (i > 0)
                    out.push_back(',');
                out.push_back(hex[v.bytes[i] >> 4]);
                out.push_back(hex[v.bytes[i] & 0xF]);
            }
            return;
    }
}

// A kept line is written back as it was read. One that ends in CR came from
// a line ending CR CR LF (the reader takes one CR off); written with LF alone
// it would lose its own CR at the next read.
void appendLine(std::string& out, std::string_view line) {
    out += line;
    if (!line.empty() && line.back() == '\r')
        out += '\r';
    out += '\n';
}

// Whether `folded` names a key strictly below `foldedKey`.
bool isUnder(const std::u16string& folded, const std::u16string& foldedKey) {
    return folded.size() > foldedKey.size() + 1 &&
           folded.compare(0, foldedKey.size(), foldedKey) == 0 && folded[foldedKey.size()] == u'\\';
}

std::u16string foldedKey(std::u16string_view key) {
    return fold(normaliseKey(key));
}

// Whether a key line holds a path (normalised, not empty, well-formed) as
// it is: no line break, no blank at either end.
bool keyLineHolds(std::u16string_view path) {
    if (path.find_first_of(u"\r\n") != std::u16string_view::npos)
        return false;
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    return !blank(path.front()) && !blank(path.back());
}

}  // namespace

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

std::u16string fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        c = foldChar(c);
    return out;
}

bool storableText(std::u16string_view text) {
    std::string utf8;
    return utf16ToUtf8(text, utf8);
}

bool storableKey(std::u16string_view path) {
    return !path.empty() && storableText(path) && keyLineHolds(path);
}

// ---- the document ------------------------------------------------------------

Document::Key* Document::find(const std::u16string& folded) {
    auto it = m_index.find(folded);
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

const Document::Key* Document::find(const std::u16string& folded) const {
    auto it = m_index.find(folded);
    return it == m_index.end() ? nullptr : &m_keys[it->second];
}

Document::Key& Document::add(std::u16string path) {
    Key key;
    key.folded = fold(path);
    key.path = std::move(path);
    m_index.emplace(key.folded, m_keys.size());
    m_keys.push_back(std::move(key));
    return m_keys.back();
}

void Document::reindex() {
    m_index.clear();
    for (std::size_t i = 0; i < m_keys.size(); ++i)
        m_index.emplace(m_keys[i].folded, i);
}

void Document::reindex(Key& key) {
    key.index.clear();
    for (std::size_t i = 0; i < key.lines.size(); ++i) {
        if (key.lines[i].isValue)
            key.index.emplace(fold(key.lines[i].name), i);
    }
}

void Document::setIn(Key& key, std::u16string name, std::u16string folded, HiveValue value) {
    auto it = key.index.find(folded);
    if (it != key.index.end()) {
        key.lines[it->second].value = std::move(value);
        return;
    }
    Line line;
    line.isValue = true;
    line.name = std::move(name);
    line.value = std::move(value);
    key.index.emplace(std::move(folded), key.lines.size());
    key.lines.push_back(std::move(line));
}

bool Document::keyExists(std::u16string_view key) const {
    const std::u16string folded = foldedKey(key);
    if (folded.empty() || m_index.count(folded) != 0)
        return true;
    return std::any_of(m_keys.begin(), m_keys.end(),
                       [&](const Key& k) { return isUnder(k.folded, folded); });
}

bool Document::hasSubkeys(std::u16string_view key) const {
    const std::u16string folded = foldedKey(key);
    if (folded.empty())
        return !m_keys.empty();
    return std::any_of(m_keys.begin(), m_keys.end(),
                       [&](const Key& k) { return isUnder(k.folded, folded); });
}

const HiveValue* Document::findValue(std::u16string_view key, std::u16string_view name) const {
    const Key* k = find(foldedKey(key));
    if (k == nullptr)
        return nullptr;
    auto it = k->index.find(fold(name));
    return it == k->index.end() ? nullptr : &k->lines[it->second].value;
}

bool Document::values(std::u16string_view key, std::vector<Value>& out) const {
    out.clear();
    if (!keyExists(key))
        return false;
    if (const Key* k = find(foldedKey(key))) {
        for (const Line& line : k->lines) {
            if (line.isValue)
                out.push_back({line.name, line.value});
        }
    }
    return true;
}

bool Document::subkeys(std::u16string_view key, std::vector<std::u16string>& out) const {
    out.clear();
    if (!keyExists(key))
        return false;
    const std::u16string path = normaliseKey(key);
    const std::u16string folded = fold(path);
    const std::size_t skip = path.empty() ? 0 : path.size() + 1;
    std::unordered_set<std::u16string> seen;
    for (const Key& k : m_keys) {
        if (!folded.empty() && !isUnder(k.folded, folded))
            continue;
        std::u16string child = k.path.substr(skip, k.path.find(u'\\', skip) - skip);
        if (seen.insert(fold(child)).second)
            out.push_back(std::move(child));
    }
    return true;
}

bool Document::createKey(std::u16string_view key) {
    std::u16string path = normaliseKey(key);
    if (path.empty() || keyExists(path))
        return false;
    add(std::move(path));
    return true;
}

void Document::setValue(std::u16string_view key, std::u16string_view name, const HiveValue& value) {
    std::u16string path = normaliseKey(key);
    Key* k = find(fold(path));
    if (k == nullptr)
        k = &add(std::move(path));
    setIn(*k, std::u16string(name), fold(name), value);
}

bool Document::deleteValue(std::u16string_view key, std::u16string_view name) {
    Key* k = find(foldedKey(key));
    if (k == nullptr)
        return false;
    auto it = k->index.find(fold(name));
    if (it == k->index.end())
        return false;
    k->lines.erase(k->lines.begin() + static_cast<std::ptrdiff_t>(it->second));
    reindex(*k);
    return true;
}

bool Document::deleteTree(std::u16string_view key) {
    const std::u16string path = normaliseKey(key);
    const std::u16string folded = fold(path);
    if (path.empty() || !keyExists(path))
        return false;
    // Lines kept under an unreadable key line that followed a deleted block
    // are the user's: they move to the block before.
    std::vector<Key> kept;
    kept.reserve(m_keys.size());
    for (Key& k : m_keys) {
        if (k.folded == folded || isUnder(k.folded, folded)) {
            auto& home = kept.empty() ? m_preamble : kept.back().orphans;
            home.insert(home.end(), std::make_move_iterator(k.orphans.begin()),
                        std::make_move_iterator(k.orphans.end()));
            continue;
        }
        kept.push_back(std::move(k));
    }
    m_keys = std::move(kept);
    reindex();
    const std::size_t slash = path.rfind(u'\\');
    const std::u16string parent = slash == std::u16string::npos ? u"" : path.substr(0, slash);
    if (!parent.empty() && !keyExists(parent))
        add(parent);
    return true;
}

// ---- reading and writing -----------------------------------------------------

KeyReader::KeyReader(std::u16string_view key)
    : m_whole(false), m_key(normaliseKey(key)), m_folded(fold(m_key)) {
    for (std::size_t at = 0; at < m_folded.size();) {
        std::size_t end = std::min(m_folded.find(u'\\', at), m_folded.size());
        std::string component;
        for (std::size_t i = at; i < end && m_folded[i] < 0x80; ++i)
            component.push_back(static_cast<char>(m_folded[i]));
        if (component.size() == end - at)
            m_needles.push_back(std::move(component));
        at = end + 1;
    }
}

KeyReader::KeyReader(WholeDocument) : m_whole(true) {}

// Lines of other keys are passed over from their first character on: only
// a key line needs reading, and what is kept of a line above the first key
// or under an unreadable key line is its count.
bool KeyReader::wantsWholeLine(char firstNonBlank) const {
    return m_whole || firstNonBlank == '[' || firstNonBlank == '\r' || firstNonBlank == '\n' ||
           (m_seenKey && !m_orphaned && !m_otherKey);
}

void KeyReader::passOver(char firstNonBlank) {
    ++m_lineNo;
    if ((!m_seenKey || m_orphaned) && firstNonBlank != ';' && firstNonBlank != '#') {
        ++m_doc.m_skipped;
        if (m_doc.m_firstSkipped == 0)
            m_doc.m_firstSkipped = m_lineNo;
    }
}

// Comments and unreadable lines stay where they stand (in the whole
// document; a key read alone is never written back).
void KeyReader::keep(std::string_view raw) {
    if (!m_whole)
        return;
    if (!m_seenKey)
        m_doc.m_preamble.emplace_back(raw);
    else if (m_orphaned)
        m_doc.m_keys[m_current].orphans.emplace_back(raw);
    else
        m_doc.m_keys[m_current].lines.push_back({false, {}, {}, std::string(raw)});
}

void KeyReader::skipped(std::string_view raw) {
    ++m_doc.m_skipped;
    if (m_doc.m_firstSkipped == 0)
        m_doc.m_firstSkipped = m_lineNo;
    keep(raw);
}

// Most key lines of a large hive belong to other keys. One in plain ASCII
// that lacks a component of the key read can be neither that key nor below
// it (a path folds ASCII letters only to ASCII, and other characters never
// to ASCII): it is taken as another key's line without decoding its path,
// once it is known to be readable as a key line (not backslashes alone, no
// CR, no blank at the path's ends).
bool KeyReader::passesOverKeyLine(std::string_view text) {
    if (m_whole || m_needles.empty() || text.size() < 2 || text.back() != ']')
        return false;
    const std::string_view inner = trim(text.substr(1, text.size() - 2));
    const std::size_t first = inner.find_first_not_of('\\');
    if (first == std::string_view::npos || isBlank(inner[first]) ||
        isBlank(inner[inner.find_last_not_of('\\')]))
        return false;
    m_lower.clear();
    for (char c : inner) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\r')
            return false;
        m_lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c);
    }
    for (const std::string& needle : m_needles) {
        if (m_lower.find(needle) == std::string::npos) {
            m_orphaned = false;
            m_seenKey = true;
            m_otherKey = true;
            return true;
        }
    }
    return false;
}

void KeyReader::line(std::string_view raw) {
    ++m_lineNo;
    if (!raw.empty() && raw.back() == '\r')
        raw.remove_suffix(1);
    if (m_lineNo == 1 && !m_bomChecked && raw.substr(0, BOM.size()) == BOM) {
        raw.remove_prefix(BOM.size());
        m_doc.m_bom = true;
    }
    std::string_view text = trim(raw);
    if (text.empty())
        return;
    if (text.front() == ';' || text.front() == '#') {
        keep(raw);
        return;
    }
    if (text.front() == '[') {
        if (passesOverKeyLine(text))
            return;
        std::u16string path;
        if (text.size() < 2 || text.back() != ']' ||
            !utf8ToUtf16(trim(text.substr(1, text.size() - 2)), path) ||
            (path = normaliseKey(path)).empty() || !keyLineHolds(path)) {
            m_orphaned = true;  // the line itself goes with its block
            skipped(raw);
            return;
        }
        m_orphaned = false;
        m_seenKey = true;
        std::u16string folded = fold(path);
        if (m_whole || folded == m_folded) {
            // A key written twice is one key: later lines join the first.
            auto it = m_doc.m_index.find(folded);
            if (it != m_doc.m_index.end()) {
                m_current = it->second;
            } else {
                m_current = m_doc.m_keys.size();
                m_doc.add(std::move(path));
            }
            m_otherKey = false;
            return;
        }
        m_otherKey = true;
        // A key below the one read: its direct subkey is kept, as an empty
        // key in the stored case of its first line.
        if (m_folded.empty() || isUnder(folded, m_folded)) {
            const std::size_t skip = m_key.empty() ? 0 : m_key.size() + 1;
            const std::size_t end = folded.find(u'\\', skip);
            if (end != std::u16string::npos) {
                path.resize(end);
                folded.resize(end);
            }
            if (m_doc.m_index.count(folded) == 0)
                m_doc.add(std::move(path));
        }
        return;
    }
    if (!m_seenKey || m_orphaned) {
        skipped(raw);
        return;
    }
    if (m_otherKey)
        return;
    Document::Key& key = m_doc.m_keys[m_current];
    std::u16string name;
    std::string_view rest = text;
    if (rest.front() == '@') {
        rest.remove_prefix(1);
    } else if (!parseQuoted(rest, name)) {
        skipped(raw);
        return;
    }
    rest = trim(rest);
    HiveValue value;
    if (rest.empty() || rest.front() != '=' || !parseValueData(rest.substr(1), value)) {
        skipped(raw);
        return;
    }
    // The last line of a name wins.
    std::u16string folded = fold(name);
    Document::setIn(key, std::move(name), std::move(folded), std::move(value));
}

void KeyReader::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        switch (m_mode) {
            case Mode::RestOfLine: {
                const std::size_t end = bytes.find('\n');
                if (end == std::string_view::npos)
                    return;
                bytes.remove_prefix(end + 1);
                m_mode = Mode::LineStart;
                break;
            }
            case Mode::WholeLine: {
                const std::size_t end = bytes.find('\n');
                if (end == std::string_view::npos) {
                    m_pending.append(bytes);
                    return;
                }
                if (m_pending.empty()) {
                    line(bytes.substr(0, end));
                } else {
                    m_pending.append(bytes.substr(0, end));
                    line(m_pending);
                    m_pending.clear();
                }
                bytes.remove_prefix(end + 1);
                m_mode = Mode::LineStart;
                break;
            }
            case Mode::LineStart: {
                if (m_whole) {
                    m_mode = Mode::WholeLine;
                    break;
                }
                // The first line may open with a byte-order mark, which is
                // taken off before the line is looked at. Bytes that only
                // began like one are the line's first (kept in m_pending).
                if (!m_bomChecked) {
                    while (!bytes.empty() && m_pending.size() < BOM.size() &&
                           bytes.front() == BOM[m_pending.size()]) {
                        m_pending.push_back(bytes.front());
                        bytes.remove_prefix(1);
                    }
                    if (m_pending.size() < BOM.size() && bytes.empty())
                        return;
                    m_bomChecked = true;
                    if (m_pending.size() == BOM.size()) {
                        m_doc.m_bom = true;
                        m_pending.clear();
                    }
                }
                // The blanks before a line's first character say nothing:
                // they are dropped (the whole document keeps them).
                if (m_pending.empty()) {
                    std::size_t i = 0;
                    while (i < bytes.size() && isBlank(bytes[i]))
                        ++i;
                    bytes.remove_prefix(i);
                    if (bytes.empty())
                        return;
                }
                const char first = m_pending.empty() ? bytes.front() : m_pending.front();
                if (wantsWholeLine(first)) {
                    m_mode = Mode::WholeLine;
                } else {
                    passOver(first);
                    m_pending.clear();
                    m_mode = Mode::RestOfLine;
                }
                break;
            }
        }
    }
}

void KeyReader::endOfText() {
    // A last line without a line break (or a text that only began like a
    // byte-order mark).
    if (m_mode == Mode::WholeLine || !m_pending.empty())
        line(m_pending);
    m_pending.clear();
    m_mode = Mode::LineStart;
}

KeyView KeyReader::finish() {
    endOfText();
    KeyView view;
    view.m_doc = std::move(m_doc);
    view.m_key = std::move(m_key);
    return view;
}

bool KeyView::exists() const {
    return m_doc.keyExists(m_key);
}

const HiveValue* KeyView::findValue(std::u16string_view name) const {
    return m_doc.findValue(m_key, name);
}

bool KeyView::values(std::vector<Document::Value>& out) const {
    return m_doc.values(m_key, out);
}

bool KeyView::subkeys(std::vector<std::u16string>& out) const {
    return m_doc.subkeys(m_key, out);
}

Document parse(std::string_view text) {
    KeyReader reader{KeyReader::WholeDocument{}};
    reader.feed(text);
    reader.endOfText();
    return std::move(reader.m_doc);
}

std::string serialise(const Document& doc) {
    std::string out;
    for (const auto& raw : doc.m_preamble)
        appendLine(out, raw);
    if (!doc.m_preamble.empty())
        out += '\n';
    for (const auto& key : doc.m_keys) {
        std::string path;
        utf16ToUtf8(key.path, path);  // checked when the key was added
        out += '[';
        out += path;
        out += "]\n";
        for (const auto& line : key.lines) {
            if (!line.isValue) {
                appendLine(out, line.raw);
                continue;
            }
            if (line.name.empty()) {
                out += "@=";
            } else {
                quote(line.name, out);
                out += '=';
            }
            serialiseValue(line.value, out);
            out += '\n';
        }
        for (const auto& raw : key.orphans)
            appendLine(out, raw);
        out += '\n';
    }
    // The mark goes back in front. Without one, a kept line that starts
    // with the mark's bytes (blank lines before it are not kept) must not
    // become the first line, where it would read as the mark.
    if (doc.m_bom)
        return std::string(BOM) + out;
    if (out.compare(0, BOM.size(), BOM) == 0)
        return "\n" + out;
    return out;
}

}  // namespace hive
}  // namespace nork::port
