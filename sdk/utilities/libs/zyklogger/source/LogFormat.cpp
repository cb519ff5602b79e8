// The narrow-format, wide-argument printf used by every log line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Log.h"
#include "port/Utf.h"

namespace nork {

long long LogArg::asSigned() const {
    switch (m_kind) {
        case Kind::Signed:
            return m_i;
        case Kind::Unsigned:
            return static_cast<long long>(m_u);
        case Kind::Double:
            return static_cast<long long>(m_d);
        default:
            return 0;
    }
}

unsigned long long LogArg::asUnsigned() const {
    switch (m_kind) {
        case Kind::Signed:
            return static_cast<unsigned long long>(m_i);
        case Kind::Unsigned:
            return m_u;
        case Kind::Double:
            return static_cast<unsigned long long>(m_d);
        case Kind::Pointer:
            return reinterpret_cast<std::uintptr_t>(m_p);
        default:
            return 0;
    }
}

double LogArg::asDouble() const {
    switch (m_kind) {
        case Kind::Signed:
            return static_cast<double>(m_i);
        case Kind::Unsigned:
            return static_cast<double>(m_u);
        case Kind::Double:
            return m_d;
        default:
            return 0;
    }
}

namespace {

// Lenient UTF-8 to UTF-16 for narrow arguments: a log line must never be lost
// to a bad byte, so invalid bytes become U+FFFD.
void appendNarrow(std::u16string& out, std::string_view s) {
    out += port::utf::toUtf16(s);
}

void appendPadded(std::u16string& out, std::u16string_view text, bool leftAlign, int width,
                  int precision) {
    if (precision >= 0 && static_cast<std::size_t>(precision) < text.size()) {
        text = text.substr(0, static_cast<std::size_t>(precision));
    }
    std::size_t pad =
        width > 0 && static_cast<std::size_t>(width) > text.size() ? width - text.size() : 0;
    if (!leftAlign)
        out.append(pad, u' ');
    out.append(text);
    if (leftAlign)
        out.append(pad, u' ');
}

}  // namespace

std::u16string formatWide(const char* format, std::initializer_list<LogArg> args) {
    std::u16string out;
    if (format == nullptr)
        return out;
    auto next = args.begin();
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char* start = p;
            while (*p != '\0' && *p != '%')
                ++p;
            appendNarrow(out, std::string_view(start, static_cast<std::size_t>(p - start)));
            continue;
        }
        const char* convStart = p++;
        if (*p == '%') {
            out.push_back(u'%');
            ++p;
            continue;
        }
        std::string flags;
        while (*p != '\0' && std::string_view("-+ #0").find(*p) != std::string_view::npos) {
            flags.push_back(*p++);
        }
        int width = -1;
        if (*p == '*') {
            width = next != args.end() ? static_cast<int>((next++)->asSigned()) : 0;
            if (width < 0) {
                flags.push_back('-');
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = next != args.end() ? static_cast<int>((next++)->asSigned()) : 0;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    precision = precision * 10 + (*p++ - '0');
            }
        }
        // Length modifiers are accepted and ignored: LogArg knows the width.
        while (*p != '\0' && std::string_view("hlLqjzt").find(*p) != std::string_view::npos)
            ++p;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4')
            p += 3;
        char conv = *p;
        if (conv == '\0') {
            appendNarrow(out, convStart);
            break;
        }
        ++p;
        bool leftAlign = flags.find('-') != std::string::npos;
        bool known = std::string_view("sScCdiuxXofFeEgGp").find(conv) != std::string_view::npos;
        if (!known || next == args.end()) {
            // Unknown conversion or missing argument: keep the conversion text
            // visible, and leave the argument to the next conversion.
            appendNarrow(out, std::string_view(convStart, static_cast<std::size_t>(p - convStart)));
            continue;
        }
        const LogArg& arg = *next++;
        switch (conv) {
            case 's':
            case 'S': {
                if (arg.kind() == LogArg::Kind::Wide) {
                    appendPadded(out, arg.wide(), leftAlign, width, precision);
                } else if (arg.kind() == LogArg::Kind::Narrow) {
                    std::u16string w;
                    appendNarrow(w, arg.narrow());
                    appendPadded(out, w, leftAlign, width, precision);
                } else {
                    appendPadded(out, u"(?)", leftAlign, width, precision);
                }
                break;
            }
            case 'c':
            case 'C': {
                char16_t c = static_cast<char16_t>(arg.asUnsigned());
                appendPadded(out, std::u16string_view(&c, 1), leftAlign, width, -1);
                break;
            }
            default: {
                std::string printfConversion = "%" + flags;
                if (width >= 0)
                    printfConversion += std::to_string(width);
                if (precision >= 0)
                    printfConversion += "." + std::to_string(precision);
                char buf[128];
                int n = 0;
                switch (conv) {
                    case 'd':
                    case 'i':
                        printfConversion += "lld";
                        n = std::snprintf(buf, sizeof buf, printfConversion.c_str(),
                                          arg.asSigned());
                        break;
                    case 'u':
                    case 'x':
                    case 'X':
                    case 'o':
                        printfConversion += "ll";
                        printfConversion.push_back(conv);
                        n = std::snprintf(buf, sizeof buf, printfConversion.c_str(),
                                          arg.asUnsigned());
                        break;
                    case 'f':
                    case 'F':
                    case 'e':
                    case 'E':
                    case 'g':
                    case 'G':
                        printfConversion.push_back(conv);
                        n = std::snprintf(buf, sizeof buf, printfConversion.c_str(),
                                          arg.asDouble());
                        break;
                    case 'p':
                        printfConversion += "llx";
                        n = std::snprintf(buf, sizeof buf, printfConversion.c_str(),
                                          arg.asUnsigned());
                        break;
                    default:
                        // Unknown conversion: copy it as written.
                        n = std::snprintf(buf, sizeof buf, "%.*s", static_cast<int>(p - convStart),
                                          convStart);
                        break;
                }
                if (n > 0) {
                    appendNarrow(out, std::string_view(
                                          buf, std::min<std::size_t>(static_cast<std::size_t>(n),
                                                                     sizeof buf - 1)));
                }
                break;
            }
        }
    }
    return out;
}

}  // namespace nork
