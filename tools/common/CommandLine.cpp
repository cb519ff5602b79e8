#include "CommandLine.h"

#include <algorithm>
#include <iostream>

#include "Json.h"
#include "nork/Version.h"

namespace qzcli {

bool CommandLine::has(const std::string& name) const {
    return value(name).has_value();
}

std::optional<std::string> CommandLine::value(const std::string& name) const {
    for (const auto& [n, v] : options) {
        if (n == name)
            return v;
    }
    return std::nullopt;
}

bool splitCommandLine(const std::vector<std::string>& args, const std::vector<OptionDef>& known,
                      CommandLine& out, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (a == "--") {
            out.words.insert(out.words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                             args.end());
            break;
        }
        const bool negativeNumber = a.size() > 1 && a[0] == '-' && a[1] >= '0' && a[1] <= '9';
        if (a.empty() || a[0] != '-' || a == "-" || negativeNumber) {
            out.words.push_back(a);
            continue;
        }
        if (a == "-h")
            a = "--help";
        std::optional<std::string> inlineValue;
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = a.substr(eq + 1);
            a.resize(eq);
        }
        const auto def = std::find_if(known.begin(), known.end(),
                                      [&](const OptionDef& d) { return d.name == a; });
        if (def == known.end()) {
            error = "unknown option " + a;
            return false;
        }
        if (out.has(a)) {
            error = a + " given twice";
            return false;
        }
        std::string value;
        if (def->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = a + " needs a value";
                return false;
            }
        } else if (inlineValue) {
            error = a + " takes no value";
            return false;
        }
        out.options.emplace_back(a, value);
    }
    return true;
}

std::optional<std::string> optionNotIn(const CommandLine& line,
                                       const std::vector<std::string>& allowed) {
    for (const auto& option : line.options) {
        if (std::find(allowed.begin(), allowed.end(), option.first) == allowed.end())
            return option.first;
    }
    return std::nullopt;
}

std::string versionLine(const std::string& program) {
    return program + " " + NORK_VERSION;
}

int reportError(const std::string& program, bool json, int exitCode, const std::string& message) {
    std::cerr << program << ": " << message << "\n";
    if (json) {
        std::cout << JsonObject().add("error", message).add("exitCode", exitCode).str()
                  << std::endl;
    }
    return exitCode;
}

}  // namespace qzcli
