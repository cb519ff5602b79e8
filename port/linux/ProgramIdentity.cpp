#include "port/ProgramIdentity.h"

#include <grp.h>
#include <limits.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>

#include "port/DeviceInventory.h"
#include "port/Utf.h"

namespace nork::port {

namespace {

std::mutex g_overrideLock;
std::optional<std::u16string> g_modulePath;
std::optional<bool> g_administrator;

std::string readLink(const char* path) {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = ::readlink(path, buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::vector<std::string> readCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> argv;
    std::string current;
    for (char c : all) {
        if (c == '\0') {
            argv.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        argv.push_back(current);
    return argv;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path.front() == '/')
        return path;
    std::array<char, PATH_MAX> cwd{};
    if (::getcwd(cwd.data(), cwd.size()) == nullptr)
        return path;
    std::string out = cwd.data();
    std::string_view rest = path;
    while (rest.starts_with("./"))
        rest.remove_prefix(2);
    return out + "/" + std::string(rest);
}

bool inGroup(const char* name) {
    const struct group* g = ::getgrnam(name);
    if (g == nullptr)
        return false;
    if (::getegid() == g->gr_gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == g->gr_gid)
            return true;
    return false;
}

}  // namespace

bool isDynamicLoaderPath(const std::string& exePath) {
    const auto slash = exePath.find_last_of('/');
    const std::string base = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
    return base == "ld.so" || (base.starts_with("ld-") && base.find(".so") != std::string::npos);
}

std::string programFromLoaderArguments(const std::vector<std::string>& argv) {
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--library-path" || a == "--preload" || a == "--audit" || a == "--argv0" ||
            a == "--glibc-hwcaps-prepend" || a == "--glibc-hwcaps-mask") {
            ++i;  // the option's value
            continue;
        }
        if (a.starts_with("--"))
            continue;
        return a;
    }
    return {};
}

std::u16string driveFormOfPath(const std::string& nativePath) {
    std::string bestDir;
    char16_t bestLetter = 0;
    for (const std::u16string& root : logicalDriveRoots()) {
        if (root.empty())
            continue;
        std::string dir = driveLetterTarget(root[0]);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (dir.empty() || dir.size() <= bestDir.size())
            continue;
        if (nativePath.size() > dir.size() && nativePath.compare(0, dir.size(), dir) == 0 &&
            nativePath[dir.size()] == '/') {
            bestDir = dir;
            bestLetter = root[0];
        }
    }
    if (bestLetter == 0)
        return utf::toUtf16(nativePath);
    std::string rest = nativePath.substr(bestDir.size() + 1);
    for (char& c : rest)
        if (c == '/')
            c = '\\';
    std::u16string out;
    out.push_back(bestLetter);
    out += u":\\";
    out += utf::toUtf16(rest);
    return out;
}

std::u16string moduleFileName() {
    {
        std::lock_guard lock(g_overrideLock);
        if (g_modulePath)
            return *g_modulePath;
    }
    std::string exe = readLink("/proc/self/exe");
    if (exe.empty())
        return {};
    if (isDynamicLoaderPath(exe)) {
        const std::string program = programFromLoaderArguments(readCommandLine());
        if (program.empty())
            return {};
        std::array<char, PATH_MAX> resolved{};
        exe = ::realpath(program.c_str(), resolved.data()) != nullptr ? std::string(resolved.data())
                                                                      : absolute(program);
    }
    return driveFormOfPath(exe);
}

void setModuleFileNameForTest(std::optional<std::u16string> path) {
    std::lock_guard lock(g_overrideLock);
    g_modulePath = std::move(path);
}

bool isAdministrator() {
    {
        std::lock_guard lock(g_overrideLock);
        if (g_administrator)
            return *g_administrator;
    }
    if (::geteuid() == 0)
        return true;
    return inGroup("sudo") || inGroup("admin") || inGroup("wheel");
}

void setAdministratorForTest(std::optional<bool> administrator) {
    std::lock_guard lock(g_overrideLock);
    g_administrator = administrator;
}

}  // namespace nork::port
