// qzctl cookie and ha: the drive's cookie store and the hidden-area pages
// under it, through the drive's cookie service (every operation one framed
// store operation under the drive's lock, as applications run them).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Cli.h"
#include "CookieEntry.h"
#include "CookieImpl.h"
#include "HAChunk.h"
#include "HAChunkMgr.h"
#include "HAPage.h"
#include "HAPageMgr.h"
#include "Numbers.h"
#include "StringConvertor.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "qz/DriveProtocol.h"

namespace qzctl {

namespace {

using nork::CHAIniEntry;

const char* kCookieUsage = "cookie get|set|rm|dump DEVICE ... (see qzctl --help)";

std::optional<std::uint8_t> kindOf(const std::string& name) {
    if (name == "int")
        return CHAIniEntry::KIND_INT;
    if (name == "string")
        return CHAIniEntry::KIND_STRING;
    if (name == "binary")
        return CHAIniEntry::KIND_BINARY;
    return std::nullopt;
}

// "0a1b", "0A 1B" or "0a:1b" as bytes; nullopt for anything else.
std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') {
            if (high >= 0)
                return std::nullopt;
            continue;
        }
        const int v = qzcli::digitValue(c, 16);
        if (v < 0)
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
}

// Whether a verb only reads the store: it then never converts an area of
// the first format (that formats it), unless --convert asks.
enum class Access { Read, Write };

// The drive's cookie service, then `body` with it.
int onCookies(const Options& options, const std::string& device, Access access,
              const std::function<int(nork::CCookieImpl&)>& body) {
    return withDrive(options, device, [&](nork::CUFD& ufd, const std::string& name) {
        auto* cookies = dynamic_cast<nork::CCookieImpl*>(
            ufd.impl()->getService(nork::CCookieImpl::SERVICE_ID).get());
        if (cookies == nullptr)
            return missingService(ufd.impl(), name, "cookie store");
        cookies->setConvertOldArea(access == Access::Write || options.convert);
        return body(*cookies);
    });
}

// The failure of a store operation; an area a reading verb left alone says
// which version it is and how to convert it.
int storeFailed(nork::CCookieImpl& cookies, const std::string& what, nork::STATUS status) {
    int stored = 0, drive = 0;
    if (status == nork::STATUS_WRONG_HIDDEN_AREA_VERSION &&
        cookies.readVersions(stored, drive) == nork::STATUS_OK && stored == 1) {
        return failed(what + ": the hidden area is of version 1 (the drive formats version " +
                          std::to_string(drive) +
                          ") and was left as it is; a writing command or --convert formats it "
                          "anew",
                      status);
    }
    return failed(what, status, cookies.device());
}

// A value as text (hex for binary) and as JSON; `value` is an integer's 4
// bytes, a string's bytes, or a binary value's bytes without their length.
struct Shown {
    std::string text;
    std::string json;
};

Shown showValue(std::uint8_t kind, const std::vector<std::uint8_t>& value) {
    switch (kind) {
        case CHAIniEntry::KIND_INT: {
            const auto v = static_cast<std::int32_t>(nork::proto::getLE32(value.data()));
            return {std::to_string(v), std::to_string(v)};
        }
        case CHAIniEntry::KIND_STRING: {
            // Up to the first NUL, never past the bytes.
            const auto* p = reinterpret_cast<const char*>(value.data());
            const std::string text(p, strnlen(p, value.size()));
            return {text, jsonString(text)};
        }
        default: {
            const std::string hex = hexBytes(value.data(), value.size());
            return {hex, "\"" + hex + "\""};
        }
    }
}

// The value of one kind of the names, as showValue takes it; the store's
// status.
nork::STATUS readValue(nork::CCookieImpl& cookies, const std::string& section,
                       const std::string& key, std::uint8_t kind,
                       std::vector<std::uint8_t>& value) {
    const char* s = section.c_str();
    const char* k = key.c_str();
    if (kind == CHAIniEntry::KIND_INT) {
        std::int32_t v = 0;
        const nork::STATUS st = cookies.getInt(s, k, v);
        value.resize(4);
        nork::proto::putLE32(value.data(), static_cast<std::uint32_t>(v));
        return st;
    }
    // Sized in a second call when the first buffer is too small.
    std::uint32_t size = 256;
    for (int attempt = 0; attempt < 2; ++attempt) {
        value.assign(size + 1, 0);
        const nork::STATUS st =
            kind == CHAIniEntry::KIND_STRING
                ? cookies.getString(s, k, reinterpret_cast<char*>(value.data()), size)
                : cookies.getBinary(s, k, value.data(), size);
        if (st == nork::STATUS_BUFFER_TOO_SMALL && attempt == 0)
            continue;
        if (kind == CHAIniEntry::KIND_BINARY && st == nork::STATUS_OK)
            value.resize(size);
        return st;
    }
    return nork::STATUS_BUFFER_TOO_SMALL;
}

int cookieGet(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 4)
        return usageError("cookie get needs DEVICE SECTION KEY");
    std::vector<std::uint8_t> kinds = {CHAIniEntry::KIND_INT, CHAIniEntry::KIND_STRING,
                                       CHAIniEntry::KIND_BINARY};
    if (options.kind) {
        const auto kind = kindOf(*options.kind);
        if (!kind)
            return usageError("--kind must be int, string or binary");
        kinds = {*kind};
    }
    const std::string &section = args[2], &key = args[3];
    return onCookies(options, args[1], Access::Read, [&](nork::CCookieImpl& cookies) {
        std::vector<std::string> items;
        for (std::uint8_t kind : kinds) {
            std::vector<std::uint8_t> value;
            const nork::STATUS st = readValue(cookies, section, key, kind, value);
            if (st == nork::STATUS_DATA_NOT_FOUND)
                continue;
            if (st != nork::STATUS_OK)
                return storeFailed(cookies, args[1] + ": cookie not read", st);
            const Shown shown = showValue(kind, value);
            items.push_back(JsonObject()
                                .add("section", section)
                                .add("key", key)
                                .add("kind", CHAIniEntry::kindName(kind))
                                .addRaw("value", shown.json)
                                .str());
            if (!options.json) {
                if (options.kind)
                    std::cout << shown.text << "\n";
                else
                    std::cout << CHAIniEntry::kindName(kind) << " " << shown.text << "\n";
            }
        }
        if (items.empty())
            return failed(args[1] + ": no cookie [" + section + "] " + key,
                          nork::STATUS_DATA_NOT_FOUND);
        if (options.json)
            std::cout << jsonArray(items) << "\n";
        return EXIT_OK;
    });
}

int cookieSet(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 5)
        return usageError("cookie set needs DEVICE SECTION KEY VALUE");
    const auto kind = options.kind ? kindOf(*options.kind) : std::nullopt;
    if (!kind)
        return usageError("cookie set needs --kind int, string or binary");
    const std::string &section = args[2], &key = args[3], &text = args[4];
    std::int32_t number = 0;
    std::vector<std::uint8_t> bytes;
    if (*kind == CHAIniEntry::KIND_INT) {
        // Signed 32-bit, decimal or 0x-hexadecimal (up to 0xFFFFFFFF, the
        // bits of a negative value).
        const auto v = qzcli::parseSigned(text, INT32_MIN, 0xFFFFFFFFll);
        if (!v)
            return usageError("not a 32-bit integer: " + text);
        number = static_cast<std::int32_t>(static_cast<std::uint32_t>(*v));
    } else if (*kind == CHAIniEntry::KIND_BINARY) {
        const auto parsed = parseHex(text);
        if (!parsed)
            return usageError("not hexadecimal bytes: " + text);
        bytes = *parsed;
    }
    return onCookies(options, args[1], Access::Write, [&](nork::CCookieImpl& cookies) {
        nork::STATUS st;
        if (*kind == CHAIniEntry::KIND_INT)
            st = cookies.setInt(section.c_str(), key.c_str(), number);
        else if (*kind == CHAIniEntry::KIND_STRING)
            st = cookies.setString(section.c_str(), key.c_str(), text.c_str());
        else
            st = cookies.setBinary(section.c_str(), key.c_str(), bytes.data(),
                                   static_cast<std::uint32_t>(bytes.size()));
        if (st != nork::STATUS_OK)
            return storeFailed(cookies, args[1] + ": cookie not set", st);
        if (options.json)
            std::cout << JsonObject().add("set", true).str() << "\n";
        return EXIT_OK;
    });
}

int cookieRemove(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 3 && args.size() != 4)
        return usageError("cookie rm needs DEVICE SECTION [KEY]");
    return onCookies(options, args[1], Access::Write, [&](nork::CCookieImpl& cookies) {
        const nork::STATUS st = args.size() == 4
                                    ? cookies.removeCookie(args[2].c_str(), args[3].c_str())
                                    : cookies.removeSection(args[2].c_str());
        if (st != nork::STATUS_OK)
            return storeFailed(cookies, args[1] + ": nothing removed", st);
        if (options.json)
            std::cout << JsonObject().add("removed", true).str() << "\n";
        return EXIT_OK;
    });
}

// A stored entry's value as showValue takes it.
Shown showEntry(const CHAIniEntry& e) {
    const std::vector<std::uint8_t>& v = e.value();
    if (e.kind() != CHAIniEntry::KIND_BINARY)
        return showValue(e.kind(), v);
    return showValue(e.kind(), std::vector<std::uint8_t>(v.begin() + 4, v.end()));
}

// The area's chunks in stream order, as a walk finds them.
struct ChunkMap {
    struct Chunk {
        nork::CHALocation at;
        std::uint64_t streamOffset = 0;
        std::uint32_t type = 0, size = 0;
        std::optional<CHAIniEntry> cookie;  // a cookie chunk that parses
    };
    std::vector<Chunk> chunks;
    bool whole = false;     // the chunks reach the end of the stream exactly
    nork::CHALocation end;  // where the walk stopped
    std::uint64_t used = 0, free = 0;
};

ChunkMap readChunkMap(nork::CHAPageMgr& pages, nork::CHAChunkMgr& chunks) {
    ChunkMap map;
    std::uint64_t offset = 0;
    map.whole = chunks.walk([&](const nork::CHALocation& at, std::uint32_t header) {
        ChunkMap::Chunk c;
        c.at = at;
        c.streamOffset = offset;
        c.type = header >> nork::CHAChunk::TYPE_SHIFT;
        c.size = header & nork::CHAChunk::SIZE_MASK;
        offset += c.size;
        (c.type == nork::HA_CHUNKID_EMPTY ? map.free : map.used) += c.size;
        map.chunks.push_back(std::move(c));
        return true;
    });
    // Entries are read after the walk: reading moves no place the walk holds.
    for (ChunkMap::Chunk& c : map.chunks) {
        if (c.type != nork::HA_CHUNKID_COOKIE)
            continue;
        CHAIniEntry entry(nullptr, nullptr);
        entry.setLocation(c.at);
        if (entry.read(pages) == nork::STATUS_OK)
            c.cookie = entry;
    }
    // The place after the last chunk read: the end of the stream, or the
    // place that holds no chunk.
    map.end = map.chunks.empty() ? pages.streamStart() : map.chunks.back().at;
    if (!map.chunks.empty() && !pages.advance(map.end, map.chunks.back().size))
        map.end = {pages.pageCount(), 0};
    return map;
}

// The area's chunk map, read in one framed operation.
nork::STATUS chunkMapOf(nork::CCookieImpl& cookies, ChunkMap& map) {
    return cookies.inspect([&](nork::CHAPageMgr& pages, nork::CHAChunkMgr& chunks) {
        map = readChunkMap(pages, chunks);
        return pages.probe();
    });
}

int cookieDump(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 2)
        return usageError("cookie dump needs exactly one DEVICE");
    return onCookies(options, args[1], Access::Read, [&](nork::CCookieImpl& cookies) {
        if (options.file) {
            // The store's own dump file, written beside its place and renamed
            // into it: a time-out or a failure never leaves half a file there.
            const std::string partial = *options.file + ".partial";
            std::error_code ec;
            std::filesystem::remove(partial, ec);
            const nork::STATUS st =
                cookies.dump(nork::multiToWideString(partial, 0).c_str(), options.binary);
            if (st != nork::STATUS_OK) {
                std::filesystem::remove(partial, ec);
                return storeFailed(cookies, args[1] + ": not dumped to " + *options.file, st);
            }
            std::filesystem::rename(partial, *options.file, ec);
            if (ec) {
                std::filesystem::remove(partial, ec);
                return fail(EXIT_COMMAND_FAILED, "cannot write " + *options.file);
            }
            std::cout << "dumped to " << *options.file << "\n";
            return EXIT_OK;
        }
        ChunkMap map;
        const nork::STATUS st = chunkMapOf(cookies, map);
        if (st != nork::STATUS_OK)
            return storeFailed(cookies, args[1] + ": cookies not read", st);
        std::vector<CHAIniEntry> entries;
        for (const ChunkMap::Chunk& c : map.chunks) {
            if (c.cookie)
                entries.push_back(*c.cookie);
        }
        const std::uint64_t free = map.free;
        if (options.json) {
            std::vector<std::string> items;
            for (const CHAIniEntry& e : entries)
                items.push_back(JsonObject()
                                    .add("section", e.section())
                                    .add("key", e.keyName())
                                    .add("kind", CHAIniEntry::kindName(e.kind()))
                                    .addRaw("value", showEntry(e).json)
                                    .str());
            std::cout << JsonObject()
                             .addRaw("cookies", jsonArray(items))
                             .add("freeBytes", static_cast<std::int64_t>(free))
                             .str()
                      << "\n";
            return EXIT_OK;
        }
        for (const CHAIniEntry& e : entries) {
            std::cout << "[" << e.section() << "] " << e.keyName() << " ("
                      << CHAIniEntry::kindName(e.kind()) << ") = " << showEntry(e).text << "\n";
        }
        std::cout << entries.size() << " cookies, " << free << " bytes free\n";
        return EXIT_OK;
    });
}

// ---- ha ----

int haPages(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 2)
        return usageError("ha pages needs exactly one DEVICE");
    return onCookies(options, args[1], Access::Read, [&](nork::CCookieImpl& cookies) {
        int stored = 0, version = 0;
        std::uint16_t count = 0;
        std::vector<nork::CHAIndexEntry> entries;
        const nork::STATUS st = cookies.inspect([&](nork::CHAPageMgr& pages, nork::CHAChunkMgr&) {
            stored = pages.readStoredVersion();
            version = pages.areaVersion();
            count = pages.pageCount();
            entries = pages.index().entries();
            return pages.probe();
        });
        if (st == nork::STATUS_WRONG_HIDDEN_AREA_VERSION &&
            cookies.readVersions(stored, version) == nork::STATUS_OK && stored == 1) {
            // Shown as it is: an area of the first format holds no index
            // this library reads, and converting it is a write.
            if (options.json) {
                std::cout << JsonObject()
                                 .add("storedVersion", std::int64_t{stored})
                                 .add("driveVersion", std::int64_t{version})
                                 .add("converted", false)
                                 .str()
                          << "\n";
            } else {
                std::cout << "area version   1 (the drive formats version " << version
                          << "): left as it is; a writing command or --convert formats it anew\n";
            }
            return EXIT_OK;
        }
        if (st != nork::STATUS_OK)
            return storeFailed(cookies, args[1] + ": hidden area not read", st);
        std::size_t listed = 0;
        for (const auto& e : entries)
            listed += e.page != 0 ? 1 : 0;
        const std::size_t streamPages = count > listed ? count - 1 - listed : 0;
        if (options.json) {
            std::vector<std::string> items;
            for (const auto& e : entries)
                items.push_back(JsonObject()
                                    .add("page", std::int64_t{e.page})
                                    .add("key", std::int64_t{e.key})
                                    .str());
            std::cout << JsonObject()
                             .add("storedVersion", std::int64_t{stored})
                             .add("driveVersion", std::int64_t{version})
                             .add("pages", std::int64_t{count})
                             .add("streamPages", static_cast<std::int64_t>(streamPages))
                             .addRaw("index", jsonArray(items))
                             .str()
                      << "\n";
            return EXIT_OK;
        }
        std::cout << "area version   " << stored << " (the drive formats version " << version
                  << ")\n"
                  << "pages          " << count << " of " << nork::CHAUtils::PAGE_SIZE
                  << " bytes; page 0 is the index, " << streamPages << " hold the chunk stream\n"
                  << "index entries  " << entries.size() << "\n";
        for (const auto& e : entries) {
            char line[64];
            std::snprintf(line, sizeof line, "  page %3u  key 0x%08X%s\n", unsigned(e.page),
                          unsigned(e.key), e.key == 0 ? " (free)" : "");
            std::cout << line;
        }
        return EXIT_OK;
    });
}

const char* chunkTypeName(std::uint32_t type) {
    switch (type) {
        case nork::HA_CHUNKID_EMPTY:
            return "free";
        case nork::HA_CHUNKID_COOKIE:
            return "cookie";
        default:
            return "other";
    }
}

int haDump(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 2)
        return usageError("ha dump needs exactly one DEVICE");
    return onCookies(options, args[1], Access::Read, [&](nork::CCookieImpl& cookies) {
        ChunkMap map;
        const nork::STATUS st = chunkMapOf(cookies, map);
        if (st != nork::STATUS_OK)
            return storeFailed(cookies, args[1] + ": hidden area not read", st);
        const auto what = [](const ChunkMap::Chunk& c) -> std::string {
            if (c.type != nork::HA_CHUNKID_COOKIE)
                return "";
            if (!c.cookie)
                return "(unreadable)";
            return "[" + c.cookie->section() + "] " + c.cookie->keyName() + " (" +
                   CHAIniEntry::kindName(c.cookie->kind()) + ")";
        };
        if (options.json) {
            std::vector<std::string> items;
            for (const ChunkMap::Chunk& c : map.chunks) {
                JsonObject o;
                o.add("page", std::int64_t{c.at.page})
                    .add("offset", std::int64_t{c.at.offset})
                    .add("streamOffset", static_cast<std::int64_t>(c.streamOffset))
                    .add("type", chunkTypeName(c.type))
                    .add("size", std::int64_t{c.size});
                if (!what(c).empty())
                    o.add("cookie", what(c));
                items.push_back(o.str());
            }
            std::cout << JsonObject()
                             .addRaw("chunks", jsonArray(items))
                             .add("usedBytes", static_cast<std::int64_t>(map.used))
                             .add("freeBytes", static_cast<std::int64_t>(map.free))
                             .add("wholeStream", map.whole)
                             .str()
                      << "\n";
            return EXIT_OK;
        }
        std::cout << " PAGE  OFFSET   STREAM  TYPE       SIZE\n";
        for (const ChunkMap::Chunk& c : map.chunks) {
            char line[96];
            std::snprintf(line, sizeof line, "%5u  %6u  %7llu  %-6s  %9u", unsigned(c.at.page),
                          unsigned(c.at.offset), static_cast<unsigned long long>(c.streamOffset),
                          chunkTypeName(c.type), c.size);
            const std::string names = what(c);
            std::cout << line << (names.empty() ? "" : "  ") << names << "\n";
        }
        std::cout << map.chunks.size() << " chunks, " << map.used << " bytes used, " << map.free
                  << " bytes free; ";
        if (map.whole)
            std::cout << "the chunks tile the stream exactly\n";
        else
            std::cout << "the stream holds no chunk at page " << map.end.page << " offset "
                      << map.end.offset << ": what follows is not reached\n";
        return map.whole ? EXIT_OK : EXIT_COMMAND_FAILED;
    });
}

}  // namespace

int cmdCookie(const Options& options, const std::vector<std::string>& args) {
    const std::string verb = args.empty() ? "" : args[0];
    if (verb == "get")
        return cookieGet(options, args);
    if (verb == "set")
        return cookieSet(options, args);
    if (verb == "rm")
        return cookieRemove(options, args);
    if (verb == "dump")
        return cookieDump(options, args);
    return usageError(kCookieUsage);
}

int cmdHa(const Options& options, const std::vector<std::string>& args) {
    const std::string verb = args.empty() ? "" : args[0];
    if (verb == "pages")
        return haPages(options, args);
    if (verb == "dump")
        return haDump(options, args);
    return usageError("ha pages|dump DEVICE");
}

}  // namespace qzctl
