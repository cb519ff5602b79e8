// The udev rules shipped for real drives must grant access to the drives
// the library serves: their vendor ids equal the library's, written as
// sysfs shows them, matched on the right device of each node kind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "qz/ServiceDiscoveryImpl.h"

namespace nork {
namespace {

// KEY{attr} op "value" of one rule line.
struct Rule {
    std::map<std::string, std::string> keys;  // "SUBSYSTEM==" -> "usb"
    int line = 0;
};

// The KEY{attr} op "value" pairs of a line, with commas and blanks between
// them; reading stops at anything else.
std::map<std::string, std::string> pairsOf(const std::string& text) {
    std::map<std::string, std::string> keys;
    const auto skipBlanks = [&](std::size_t& i, const char* blanks) {
        while (i < text.size() && std::strchr(blanks, text[i]) != nullptr)
            ++i;
    };
    std::size_t i = 0;
    while (true) {
        skipBlanks(i, " \t,");
        const std::size_t keyStart = i;
        while (i < text.size() && ((text[i] >= 'A' && text[i] <= 'Z') || text[i] == '_'))
            ++i;
        if (i == keyStart)
            break;
        if (i < text.size() && text[i] == '{') {
            const std::size_t close = text.find('}', i);
            if (close == std::string::npos)
                break;
            i = close + 1;
        }
        const std::string key = text.substr(keyStart, i - keyStart);
        skipBlanks(i, " \t");
        const std::size_t opStart = i;
        skipBlanks(i, "=!+-:");
        const std::string op = text.substr(opStart, i - opStart);
        skipBlanks(i, " \t");
        if (op.empty() || i >= text.size() || text[i] != '"')
            break;
        const std::size_t close = text.find('"', i + 1);
        if (close == std::string::npos)
            break;
        keys[key + op] = text.substr(i + 1, close - i - 1);
        i = close + 1;
    }
    return keys;
}

std::vector<Rule> readRules(const std::string& file) {
    std::ifstream in(file);
    std::vector<Rule> rules;
    std::string text;
    for (int n = 1; std::getline(in, text); ++n) {
        const auto start = text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] == '#')
            continue;
        rules.push_back(Rule{pairsOf(text), n});
    }
    return rules;
}

std::set<std::string> split(const std::string& alternatives) {
    std::set<std::string> out;
    std::istringstream in(alternatives);
    for (std::string item; std::getline(in, item, '|');)
        out.insert(item);
    return out;
}

std::string hex4(std::int32_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

TEST(UdevRules, EveryNodeKindOfTheLibrarysVendorsGetsTheSeatUser) {
    const std::vector<Rule> rules = readRules(QZ_UDEV_RULES_FILE);
    ASSERT_FALSE(rules.empty()) << "no rules read from " << QZ_UDEV_RULES_FILE;

    // sysfs shows ids as four lower-case hex digits, and udev compares text.
    const std::set<std::string> libraryIds{hex4(qz::CUniqueIDRetriever::CORVANE_VENDOR_ID),
                                           hex4(qz::CUniqueIDRetriever::TRIVANTA_VENDOR_ID)};

    // The usbfs node is the USB device itself (its own attribute); the
    // other nodes sit below it (a parent's attribute).
    struct Kind {
        const char* subsystem;
        const char* idKey;
    };
    const Kind kinds[] = {
        {"usb", "ATTR{idVendor}=="},
        {"scsi_generic", "ATTRS{idVendor}=="},
        {"block", "ATTRS{idVendor}=="},
        {"hidraw", "ATTRS{idVendor}=="},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.subsystem);
        std::set<std::string> granted;
        for (const Rule& rule : rules) {
            const auto subsystem = rule.keys.find("SUBSYSTEM==");
            const auto tag = rule.keys.find("TAG+=");
            if (subsystem == rule.keys.end() || tag == rule.keys.end() ||
                tag->second != "uaccess" || split(subsystem->second).count(kind.subsystem) == 0)
                continue;
            const auto ids = rule.keys.find(kind.idKey);
            ASSERT_NE(ids, rule.keys.end()) << "line " << rule.line << " lacks " << kind.idKey;
            if (std::string(kind.subsystem) == "usb") {
                // Interfaces are "usb" too; only the device has a node.
                EXPECT_EQ(rule.keys.count("ENV{DEVTYPE}=="), 1u) << "line " << rule.line;
            }
            for (const std::string& id : split(ids->second))
                granted.insert(id);
        }
        EXPECT_EQ(granted, libraryIds);
    }
}

TEST(UdevRules, SortBeforeTheSeatRules) {
    // The seat rules turn the uaccess tag into access only for devices
    // tagged before they run.
    const std::string name = std::filesystem::path(QZ_UDEV_RULES_FILE).filename().string();
    EXPECT_LT(name, "70-uaccess.rules");
    EXPECT_LT(name, "71-seat.rules");
    EXPECT_LT(name, "73-seat-late.rules");
    EXPECT_EQ(name.substr(name.size() - 6), ".rules");
}

}  // namespace
}  // namespace nork
