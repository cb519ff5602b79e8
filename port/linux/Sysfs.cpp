#include "port/linux/Sysfs.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace nork::port::sysfs {

namespace fs = std::filesystem;

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// An existing directory, resolved; false otherwise.
bool resolvedDir(const fs::path& p, fs::path& out) {
    std::error_code ec;
    const fs::path resolved = fs::canonical(p, ec);
    if (ec || !fs::is_directory(resolved, ec))
        return false;
    out = resolved;
    return true;
}

}  // namespace

std::string text(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string attribute(const fs::path& file) {
    const std::string line = text(file);
    std::size_t begin = 0;
    std::size_t end = line.size();
    while (begin < end && isBlank(line[begin]))
        ++begin;
    while (end > begin && isBlank(line[end - 1]))
        --end;
    return line.substr(begin, end - begin);
}

bool bytes(const fs::path& file, std::vector<std::uint8_t>& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool allDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool decimal(const fs::path& file, long& out) {
    const std::string value = attribute(file);
    // Nine digits stay well inside a long on every target.
    if (!allDigits(value) || value.size() > 9)
        return false;
    out = std::stol(value);
    return true;
}

bool hex16(const fs::path& file, std::uint16_t& out) {
    const std::string value = attribute(file);
    if (value.empty() || value.size() > 4 || !std::all_of(value.begin(), value.end(), isHexDigit))
        return false;
    out = static_cast<std::uint16_t>(std::stoul(value, nullptr, 16));
    return true;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

bool usbDeviceAbove(const fs::path& from, const fs::path& sysRoot, UsbAncestry& out) {
    std::error_code ec;
    fs::path top = fs::canonical(sysRoot, ec);
    if (ec)
        top = sysRoot;
    fs::path child;
    for (fs::path p = from; p.has_relative_path() && p != top; p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec) && fs::exists(p / "idProduct", ec)) {
            out.device = p;
            out.interface = child;
            return true;
        }
        child = p;
    }
    return false;
}

bool deviceOfNode(const fs::path& sysRoot, const std::string& name, fs::path& out) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return false;
    if (startsWith(name, "hidraw"))
        return resolvedDir(sysRoot / "class" / "hidraw" / name / "device", out);
    if (startsWith(name, "sg") &&
        resolvedDir(sysRoot / "class" / "scsi_generic" / name / "device", out))
        return true;
    if (resolvedDir(sysRoot / "class" / "block" / name / "device", out))
        return true;
    // A partition's directory sits inside its disk's, which has the link.
    std::error_code ec;
    const fs::path partition = fs::canonical(sysRoot / "class" / "block" / name, ec);
    return !ec && resolvedDir(partition.parent_path() / "device", out);
}

bool usbDeviceOfNode(const fs::path& sysRoot, const std::string& name, UsbAncestry& out) {
    fs::path device;
    return deviceOfNode(sysRoot, name, device) && usbDeviceAbove(device, sysRoot, out);
}

bool usbAddress(const fs::path& usbDevice, long& bus, long& device) {
    long b = 0;
    long d = 0;
    if (!decimal(usbDevice / "busnum", b) || !decimal(usbDevice / "devnum", d) || b <= 0 || d <= 0)
        return false;
    bus = b;
    device = d;
    return true;
}

}  // namespace nork::port::sysfs
