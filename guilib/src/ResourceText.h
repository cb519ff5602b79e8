// The text formats of the resource compiler (docs/skinned-dialogs.md,
// "Resources"): the resource list and the string table, and the binary
// string-table block they compile to. Header-only and standard C++ only,
// because the compiler (guilib/tools/rescomp.cpp) is built before, and
// without, the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace nork::gui::res::text {

// One line of a resource list: a file as one resource, or a string table.
struct ListEntry {
    bool strings = false;  // "strings <language> <file>"
    std::string type;      // "#23", "GIF", ... (files only)
    std::string name;      // "#600", ... (files only)
    std::uint16_t language = 0;
    std::string file;  // as written (relative to the list's folder)
    int line = 0;
};

namespace detail {

inline std::string_view trimRight(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

inline std::string_view skipBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

// The next blank-separated word; `rest` starts after it.
inline std::string_view word(std::string_view& rest) {
    rest = skipBlanks(rest);
    std::size_t end = rest.find_first_of(" \t");
    std::string_view w = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return w;
}

inline bool decimal(std::string_view s, std::uint32_t max, std::uint32_t& out) {
    if (s.empty() || s.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > max)
        return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

// A type or name as the list writes it: "#<number>" or a plain name, which
// the generated source holds as a C string literal.
inline bool resourceName(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '#';
        if (!ok)
            return false;
    }
    if (s.front() == '#') {
        std::uint32_t n = 0;
        return decimal(s.substr(1), 0xFFFF, n);
    }
    return s.find('#') == std::string_view::npos;
}

inline void lineError(std::string& error, int line, std::string_view what) {
    error = "line " + std::to_string(line) + ": " + std::string(what);
}

// Appends the UTF-16 form of one UTF-8 sequence at s[i]; false for bytes
// that are not UTF-8 (overlong forms and surrogates included).
inline bool utf8Step(std::string_view s, std::size_t& i, std::u16string& out) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned c = b(i);
    std::size_t len = c < 0x80             ? 1
                      : (c & 0xE0) == 0xC0 ? 2
                      : (c & 0xF0) == 0xE0 ? 3
                      : (c & 0xF8) == 0xF0 ? 4
                                           : 0;
    if (len == 0 || i + len > s.size())
        return false;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
    return true;
}

}  // namespace detail

// Parses a resource list. Blank lines and comment lines (first non-blank
// character "#", not followed by a digit) are skipped; the file is the rest of the line after the
// other fields, so it may hold blanks. False with "line N: reason".
inline bool parseResourceList(std::string_view text, std::vector<ListEntry>& out,
                              std::string& error) {
    int lineNo = 0;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineNo;
        line = detail::trimRight(line);
        std::string_view rest = detail::skipBlanks(line);
        // "#" and a digit starts a numeric type ("#23"); any other "#" a comment.
        if (rest.empty() ||
            (rest.front() == '#' && (rest.size() < 2 || rest[1] < '0' || rest[1] > '9')))
            continue;
        ListEntry e;
        e.line = lineNo;
        std::string_view first = detail::word(rest);
        e.strings = first == "strings";
        if (!e.strings) {
            e.type = std::string(first);
            e.name = std::string(detail::word(rest));
            if (!detail::resourceName(e.type) || !detail::resourceName(e.name)) {
                detail::lineError(error, lineNo, "bad resource type or name");
                return false;
            }
        }
        std::uint32_t language = 0;
        if (!detail::decimal(detail::word(rest), 0xFFFF, language)) {
            detail::lineError(error, lineNo, "bad language (decimal, 0 to 65535)");
            return false;
        }
        e.language = static_cast<std::uint16_t>(language);
        e.file = std::string(detail::skipBlanks(rest));
        if (e.file.empty()) {
            detail::lineError(error, lineNo, "no file");
            return false;
        }
        out.push_back(std::move(e));
    }
    return true;
}

// Parses a string table: UTF-8 lines "<id> <text>" (id 0 to 65535, each id
// once), escapes \n \r \t \\ and \uXXXX in the text; blank lines and lines
// starting with "#" are skipped. False with "line N: reason".
inline bool parseStringTable(std::string_view text, std::map<int, std::u16string>& out,
                             std::string& error) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    int lineNo = 0;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::string_view rest = detail::skipBlanks(line);
        if (rest.empty() || rest.front() == '#')
            continue;
        std::uint32_t id = 0;
        std::size_t idEnd = rest.find_first_of(" \t");
        if (!detail::decimal(rest.substr(0, idEnd), 0xFFFF, id)) {
            detail::lineError(error, lineNo, "bad string id (decimal, 0 to 65535)");
            return false;
        }
        // One blank separates the id from the text; the rest is the text.
        std::string_view body =
            idEnd == std::string_view::npos ? std::string_view() : rest.substr(idEnd + 1);
        std::u16string value;
        for (std::size_t i = 0; i < body.size();) {
            if (body[i] != '\\') {
                if (!detail::utf8Step(body, i, value)) {
                    detail::lineError(error, lineNo, "text is not UTF-8");
                    return false;
                }
                continue;
            }
            if (i + 1 >= body.size()) {
                detail::lineError(error, lineNo, "backslash at the end of the line");
                return false;
            }
            char e = body[i + 1];
            i += 2;
            if (e == 'n') {
                value.push_back(u'\n');
            } else if (e == 'r') {
                value.push_back(u'\r');
            } else if (e == 't') {
                value.push_back(u'\t');
            } else if (e == '\\') {
                value.push_back(u'\\');
            } else if (e == 'u') {
                unsigned unit = 0;
                bool ok = i + 4 <= body.size();
                for (std::size_t k = 0; ok && k < 4; ++k) {
                    char h = body[i + k];
                    int d = (h >= '0' && h <= '9')   ? h - '0'
                            : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                            : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                     : -1;
                    ok = d >= 0;
                    unit = unit * 16 + static_cast<unsigned>(d < 0 ? 0 : d);
                }
                if (!ok) {
                    detail::lineError(error, lineNo, "\\u needs four hexadecimal digits");
                    return false;
                }
                value.push_back(static_cast<char16_t>(unit));
                i += 4;
            } else {
                detail::lineError(error, lineNo, "unknown escape");
                return false;
            }
        }
        if (value.size() > 0xFFFF) {
            detail::lineError(error, lineNo, "text longer than 65535 UTF-16 units");
            return false;
        }
        if (!out.emplace(static_cast<int>(id), std::move(value)).second) {
            detail::lineError(error, lineNo, "string id given twice");
            return false;
        }
    }
    return true;
}

// The string-table block `block` (ids (block - 1) * 16 to block * 16 - 1):
// 16 entries, each a 16-bit little-endian length and that many UTF-16LE
// units; missing ids are empty entries. Texts are cut at 65535 units.
inline std::vector<std::uint8_t> encodeBlock(const std::map<int, std::u16string>& strings,
                                             std::uint16_t block) {
    std::vector<std::uint8_t> out;
    if (block == 0)
        return out;
    const int firstId = (static_cast<int>(block) - 1) * 16;
    for (int id = firstId; id < firstId + 16; ++id) {
        auto it = strings.find(id);
        std::u16string_view s = it == strings.end() ? std::u16string_view() : it->second;
        if (s.size() > 0xFFFF)
            s = s.substr(0, 0xFFFF);
        out.push_back(static_cast<std::uint8_t>(s.size() & 0xFF));
        out.push_back(static_cast<std::uint8_t>(s.size() >> 8));
        for (char16_t u : s) {
            out.push_back(static_cast<std::uint8_t>(u & 0xFF));
            out.push_back(static_cast<std::uint8_t>(u >> 8));
        }
    }
    return out;
}

// The blocks the ids of a table fall into, ascending.
inline std::vector<std::uint16_t> blocksOf(const std::map<int, std::u16string>& strings) {
    std::vector<std::uint16_t> blocks;
    for (const auto& [id, text] : strings) {
        if (id < 0 || id > 0xFFFF)
            continue;
        auto block = static_cast<std::uint16_t>(id / 16 + 1);
        if (blocks.empty() || blocks.back() != block)
            blocks.push_back(block);
    }
    return blocks;
}

// Entry `index` (0 to 15) of an encoded block; empty when the block is too
// short to hold it.
inline std::u16string blockEntry(const std::uint8_t* data, std::size_t size, int index) {
    std::size_t pos = 0;
    for (int i = 0; i <= index; ++i) {
        if (pos + 2 > size)
            return {};
        std::size_t len = data[pos] | (static_cast<std::size_t>(data[pos + 1]) << 8);
        pos += 2;
        if (len * 2 > size - pos)
            return {};
        if (i == index) {
            std::u16string out(len, u'\0');
            for (std::size_t k = 0; k < len; ++k)
                out[k] = static_cast<char16_t>(data[pos + 2 * k] | (data[pos + 2 * k + 1] << 8));
            return out;
        }
        pos += len * 2;
    }
    return {};
}

}  // namespace nork::gui::res::text
