#include "model/StateFile.h"

#include <charconv>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>

namespace qzemu {

namespace fs = std::filesystem;

namespace {

constexpr const char* FORMAT_VERSION = "1";

void checkText(const char* field, const std::string& value, std::size_t maxLength,
               bool allowEmpty) {
    if (value.size() > maxLength || (!allowEmpty && value.empty())) {
        throw std::invalid_argument(std::string(field) + " must have " + (allowEmpty ? "0" : "1") +
                                    ".." + std::to_string(maxLength) + " characters");
    }
    for (char c : value) {
        if (c < 0x20 || c > 0x7E) {
            throw std::invalid_argument(std::string(field) + " must be printable ASCII");
        }
    }
}

std::uint64_t parseUnsigned(const std::string& text, std::uint64_t max, int line) {
    std::uint64_t value = 0;
    int base = 10;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && text[1] == 'x') {
        base = 16;
        first += 2;
    }
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last || first == last || value > max) {
        throw std::runtime_error("drive.state line " + std::to_string(line) + ": bad number \"" +
                                 text + "\"");
    }
    return value;
}

std::string hex(std::uint32_t value, int width) {
    std::ostringstream out;
    out << "0x" << std::hex;
    out.width(width);
    out.fill('0');
    out << value;
    return out.str();
}

template <class Bytes>
std::string hexBytes(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

constexpr fs::perms NOT_OWNER = fs::perms::group_all | fs::perms::others_all;

// Takes group and other rights off path (a link's target); false when they
// stay.
bool narrowToOwner(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found)
        return true;
    if (ec)
        return false;
    if ((status.permissions() & NOT_OWNER) == fs::perms::none)
        return true;
    fs::permissions(path, NOT_OWNER, fs::perm_options::remove, ec);
    return !ec;
}

void narrowDirectory(const fs::path& dir) {
    if (!narrowToOwner(dir))
        throw std::runtime_error("cannot make " + dir.string() + " its owner's only");
}

// Exactly 2 x size hex digits into out.
bool parseHex(const std::string& text, std::uint8_t* out, std::size_t size, int line) {
    if (text.size() != 2 * size)
        return false;
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>(parseUnsigned("0x" + text.substr(2 * i, 2), 0xFF, line));
    return true;
}

}  // namespace

void checkIdentity(const Identity& id) {
    checkText("serial", id.serial, 16, false);
    checkText("vendor", id.vendor, 8, false);
    checkText("product", id.product, 16, false);
    checkText("revision", id.revision, 4, false);
    checkText("firmware", id.firmware, 23, true);
    checkText("report vendor", id.reportVendor, 9, false);
    checkText("report product", id.reportProduct, 9, false);
}

void keepStateToOwner(const fs::path& dir) {
    narrowDirectory(dir);
    for (const char* name : {STATE_FILE_NAME, IMAGE_FILE_NAME, HIDDEN_FILE_NAME})
        narrowToOwner(dir / name);
}

void writeStateFile(const fs::path& dir, const PersistedState& s) {
    std::ostringstream out;
    out << "# qzemu drive state\n"
        << "format " << FORMAT_VERSION << '\n'
        << "serial " << s.identity.serial << '\n'
        << "vendor " << s.identity.vendor << '\n'
        << "product " << s.identity.product << '\n'
        << "revision " << s.identity.revision << '\n'
        << "firmware " << s.identity.firmware << '\n'
        << "report-vendor " << s.identity.reportVendor << '\n'
        << "report-product " << s.identity.reportProduct << '\n'
        << "usb-vid " << hex(s.identity.usbVendorId, 4) << '\n'
        << "usb-pid " << hex(s.identity.usbProductId, 4) << '\n'
        << "mode " << modeName(s.mode) << '\n'
        << "flash-sectors " << s.flashSectors << '\n'
        << "reattach-delay-ms " << s.reattachDelay.count() << '\n'
        << "ready-delay-ms " << s.readyDelay.count() << '\n'
        << "services " << serviceListText(s.services) << '\n'
        << "hidden-pages " << s.hiddenPages << '\n'
        << "plugged " << (s.plugged ? "yes" : "no") << '\n'
        << "error-register " << hex(s.errorRegister, 8) << '\n';
    if (!s.rsaKey.empty()) {
        out << "rsa-modulus " << hexBytes(s.rsaKey.modulus) << '\n'
            << "rsa-private-exponent " << hexBytes(s.rsaKey.privateExponent) << '\n';
    }
    for (const auto& d : s.domains) {
        out << "domain " << static_cast<unsigned>(d.type) << ' ' << hex(d.flags, 4) << ' '
            << d.sizeSectors << '\n';
    }
    for (const auto& [page, passwords] : s.pagePasswords) {
        if (passwords.write)
            out << "page-password " << page << " write " << hexBytes(*passwords.write) << '\n';
        if (passwords.read)
            out << "page-password " << page << " read " << hexBytes(*passwords.read) << '\n';
    }
    for (const auto& [domain, area] : s.privateAreas) {
        out << "private-area " << static_cast<unsigned>(domain) << ' ' << area.sizeSectors << ' '
            << hexBytes(area.password) << '\n';
        for (const TrustedHost& host : area.trustedHosts) {
            out << "trusted-host " << static_cast<unsigned>(domain) << ' ' << hexBytes(host.pcId)
                << ' ' << hexBytes(host.hostId) << '\n';
        }
    }
    const fs::path target = dir / STATE_FILE_NAME;
    const fs::path temp = dir / (std::string(STATE_FILE_NAME) + ".new");
    // Nobody else may reach the directory before the file is made: the
    // moment between its creation and its narrowing is then unseen, and
    // the secrets go in only after it.
    narrowDirectory(dir);
    std::error_code ec;
    // A leftover of an interrupted write may have wider rights or be a link.
    fs::remove(temp, ec);
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (!file)
            throw std::runtime_error("cannot write " + temp.string());
        fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ec);
        if (ec) {
            file.close();
            fs::remove(temp, ec);
            throw std::runtime_error("cannot make " + temp.string() + " its owner's only");
        }
        file << out.str();
        file.flush();
        if (!file)
            throw std::runtime_error("cannot write " + temp.string());
    }
    fs::rename(temp, target, ec);
    if (ec)
        throw std::runtime_error("cannot replace " + target.string() + ": " + ec.message());
}

PersistedState readStateFile(const fs::path& dir) {
    const fs::path path = dir / STATE_FILE_NAME;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("no drive state in " + dir.string());

    PersistedState s;
    std::map<std::string, int> seen;
    bool formatSeen = false;
    std::string text;
    int line = 0;
    auto fail = [&](const std::string& what) {
        throw std::runtime_error("drive.state line " + std::to_string(line) + ": " + what);
    };
    auto parseNumber = [&](const std::string& v, SessionNumber& out) {
        if (v.size() != 2 * out.size())
            fail("expected " + std::to_string(2 * out.size()) + " hex digits");
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] =
                static_cast<std::uint8_t>(parseUnsigned("0x" + v.substr(2 * i, 2), 0xFF, line));
        }
    };
    auto boolean = [&](const std::string& v) {
        if (v == "yes")
            return true;
        if (v == "no")
            return false;
        fail("expected yes or no");
        return false;
    };
    using Setter = std::function<void(const std::string&)>;
    const std::map<std::string, Setter> setters = {
        {"format",
         [&](const std::string& v) {
             if (v != FORMAT_VERSION)
                 fail("unknown format " + v);
             formatSeen = true;
         }},
        {"serial", [&](const std::string& v) { s.identity.serial = v; }},
        {"vendor", [&](const std::string& v) { s.identity.vendor = v; }},
        {"product", [&](const std::string& v) { s.identity.product = v; }},
        {"revision", [&](const std::string& v) { s.identity.revision = v; }},
        {"firmware", [&](const std::string& v) { s.identity.firmware = v; }},
        {"report-vendor", [&](const std::string& v) { s.identity.reportVendor = v; }},
        {"report-product", [&](const std::string& v) { s.identity.reportProduct = v; }},
        {"usb-vid",
         [&](const std::string& v) {
             s.identity.usbVendorId = static_cast<std::uint16_t>(parseUnsigned(v, 0xFFFF, line));
         }},
        {"usb-pid",
         [&](const std::string& v) {
             s.identity.usbProductId = static_cast<std::uint16_t>(parseUnsigned(v, 0xFFFF, line));
         }},
        {"mode",
         [&](const std::string& v) {
             auto m = parseMode(v);
             if (!m)
                 fail("unknown mode " + v);
             s.mode = *m;
         }},
        {"flash-sectors",
         [&](const std::string& v) {
             s.flashSectors = static_cast<std::uint32_t>(parseUnsigned(v, 0xFFFFFFFFu, line));
         }},
        {"reattach-delay-ms",
         [&](const std::string& v) {
             s.reattachDelay = std::chrono::milliseconds(parseUnsigned(v, 1u << 31, line));
         }},
        {"services",
         [&](const std::string& v) {
             try {
                 s.services = parseServiceList(v);
             } catch (const std::invalid_argument& e) {
                 fail(e.what());
             }
         }},
        {"ready-delay-ms",
         [&](const std::string& v) {
             s.readyDelay = std::chrono::milliseconds(parseUnsigned(v, 1u << 31, line));
         }},
        {"plugged", [&](const std::string& v) { s.plugged = boolean(v); }},
        {"error-register",
         [&](const std::string& v) {
             s.errorRegister = static_cast<std::uint32_t>(parseUnsigned(v, 0xFFFFFFFFu, line));
         }},
        {"hidden-pages",
         [&](const std::string& v) {
             s.hiddenPages = static_cast<std::uint32_t>(parseUnsigned(v, MAX_HIDDEN_PAGES, line));
             try {
                 checkHiddenPages(s.hiddenPages);
             } catch (const std::invalid_argument& e) {
                 fail(e.what());
             }
         }},
        {"rsa-modulus", [&](const std::string& v) { parseNumber(v, s.rsaKey.modulus); }},
        {"rsa-private-exponent",
         [&](const std::string& v) { parseNumber(v, s.rsaKey.privateExponent); }},
        {"page-password",
         [&](const std::string& v) {
             std::istringstream fields(v);
             std::string page, which, hex, extra;
             if (!(fields >> page >> which >> hex) || (fields >> extra) ||
                 (which != "write" && which != "read") || hex.size() != 2 * PAGE_PASSWORD_SIZE) {
                 fail("expected: page-password <page> write|read <14 hex digits>");
             }
             PagePassword password{};
             for (std::size_t i = 0; i < PAGE_PASSWORD_SIZE; ++i) {
                 password[i] = static_cast<std::uint8_t>(
                     parseUnsigned("0x" + hex.substr(2 * i, 2), 0xFF, line));
             }
             PagePasswords& entry =
                 s.pagePasswords[static_cast<std::uint16_t>(parseUnsigned(page, 0xFFFF, line))];
             (which == "write" ? entry.write : entry.read) = password;
         }},
        {"private-area",
         [&](const std::string& v) {
             std::istringstream fields(v);
             std::string domain, size, hex, extra;
             if (!(fields >> domain >> size >> hex) || (fields >> extra))
                 fail("expected: private-area <domain> <sectors> <32 hex digits>");
             PrivateAreaRecord& area =
                 s.privateAreas[static_cast<std::uint8_t>(parseUnsigned(domain, 254, line))];
             area.sizeSectors = static_cast<std::uint32_t>(parseUnsigned(size, 0xFFFFFFFFu, line));
             if (!parseHex(hex, area.password.data(), area.password.size(), line))
                 fail("expected: private-area <domain> <sectors> <32 hex digits>");
         }},
        {"trusted-host",
         [&](const std::string& v) {
             std::istringstream fields(v);
             std::string domain, pcId, hostId, extra;
             if (!(fields >> domain >> pcId >> hostId) || (fields >> extra))
                 fail("expected: trusted-host <domain> <32 hex digits> <128 hex digits>");
             auto it =
                 s.privateAreas.find(static_cast<std::uint8_t>(parseUnsigned(domain, 254, line)));
             if (it == s.privateAreas.end())
                 fail("trusted-host before its private-area line");
             TrustedHost host;
             if (!parseHex(pcId, host.pcId.data(), host.pcId.size(), line) ||
                 !parseHex(hostId, host.hostId.data(), host.hostId.size(), line))
                 fail("expected: trusted-host <domain> <32 hex digits> <128 hex digits>");
             it->second.trustedHosts.push_back(host);
         }},
        {"domain",
         [&](const std::string& v) {
             std::istringstream fields(v);
             std::string type, flags, size, extra;
             if (!(fields >> type >> flags >> size) || (fields >> extra)) {
                 fail("expected: domain <type> <flags> <sectors>");
             }
             Domain d;
             d.type = static_cast<std::uint8_t>(parseUnsigned(type, 255, line));
             d.flags = static_cast<std::uint16_t>(parseUnsigned(flags, 0xFFFF, line));
             d.sizeSectors = static_cast<std::uint32_t>(parseUnsigned(size, 0xFFFFFFFFu, line));
             s.domains.push_back(d);
         }},
    };

    while (std::getline(file, text)) {
        ++line;
        if (text.empty() || text[0] == '#')
            continue;
        auto space = text.find(' ');
        std::string key = text.substr(0, space);
        std::string value = space == std::string::npos ? std::string() : text.substr(space + 1);
        auto it = setters.find(key);
        if (it == setters.end())
            fail("unknown key \"" + key + "\"");
        const bool repeats = key == "domain" || key == "page-password" || key == "private-area" ||
                             key == "trusted-host";
        if (!repeats && seen[key]++ > 0)
            fail("repeated key \"" + key + "\"");
        it->second(value);
    }
    line = 0;
    if (!formatSeen)
        fail("no format line");
    for (const char* key : {"serial", "flash-sectors", "mode"}) {
        if (!seen.count(key))
            fail(std::string("missing ") + key);
    }
    try {
        checkIdentity(s.identity);
    } catch (const std::invalid_argument& e) {
        fail(e.what());
    }
    return s;
}

}  // namespace qzemu
