// The command-line layer qzctl and qzemu share: options split from words,
// per-verb option checks, version text and error reports (text on stderr;
// with --json also one JSON object on standard output).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qzcli {

struct OptionDef {
    std::string name;  // "--timeout"
    bool takesValue = false;
};

struct CommandLine {
    std::vector<std::string> words;
    // In the order given; an option appears at most once.
    std::vector<std::pair<std::string, std::string>> options;

    bool has(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
};

// Splits the arguments: "--name value" and "--name=value" for options that
// take a value, "-h" for "--help", "--" ends the options. A word that starts
// with '-' and a digit is a word (a negative number). Unknown options, a
// missing value, a value given to a flag and an option given twice are
// errors: false with `error` set.
bool splitCommandLine(const std::vector<std::string>& args, const std::vector<OptionDef>& known,
                      CommandLine& out, std::string& error);

// The first option of the line that is not in `allowed`; nullopt when all are.
std::optional<std::string> optionNotIn(const CommandLine& line,
                                       const std::vector<std::string>& allowed);

// "PROGRAM VERSION" of the build.
std::string versionLine(const std::string& program);

// Reports a failure: "PROGRAM: MESSAGE" on stderr and, when `json`, the
// object {"error":MESSAGE,"exitCode":CODE} on standard output. Returns
// `exitCode`.
int reportError(const std::string& program, bool json, int exitCode, const std::string& message);

}  // namespace qzcli
