#include "port/HidDevice.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

namespace nork::port {

// ---- Report descriptor ----

namespace {

struct UsageEntry {
    std::uint16_t page = 0;
    std::uint32_t count = 1;  // usages named (a range counts each)
};

struct Globals {
    std::uint16_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

std::uint32_t itemValue(const std::uint8_t* p, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace

bool parseHidReportDescriptor(const std::uint8_t* data, std::size_t size, HidCaps& out) {
    out = HidCaps{};
    if (data == nullptr && size > 0)
        return false;
    Globals g;
    std::vector<Globals> stack;
    std::vector<UsageEntry> usages;
    std::optional<std::uint32_t> usageMin;
    std::uint16_t usageMinPage = 0;
    // Wide sums, so a descriptor's sizes cannot wrap them: a report or an
    // index count beyond what the 16-bit capabilities hold is refused.
    std::map<std::uint8_t, std::uint64_t> inputBits, outputBits;
    std::uint64_t inputIndices = 0, outputIndices = 0;
    constexpr std::uint64_t MOST_BITS = (0xFFFFull - 1) * 8;  // the id byte comes on top
    constexpr std::uint64_t MOST_INDICES = 0xFFFF;

    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t prefix = data[pos++];
        if (prefix == 0xFE) {  // long item: size, tag, data
            if (size - pos < 2)
                return false;
            const std::size_t n = data[pos];
            pos += 2;
            if (size - pos < n)
                return false;
            pos += n;
            continue;
        }
        std::size_t n = prefix & 0x03;
        if (n == 3)
            n = 4;
        if (size - pos < n)
            return false;
        const std::uint32_t value = itemValue(data + pos, n);
        pos += n;
        const int type = (prefix >> 2) & 0x03;
        const int tag = prefix >> 4;

        if (type == 1) {  // global
            switch (tag) {
                case 0:
                    g.usagePage = static_cast<std::uint16_t>(value);
                    break;
                case 7:
                    g.reportSize = value;
                    break;
                case 8:
                    g.reportId = static_cast<std::uint8_t>(value);
                    break;
                case 9:
                    g.reportCount = value;
                    break;
                case 10:
                    stack.push_back(g);
                    break;
                case 11:
                    if (stack.empty())
                        return false;
                    g = stack.back();
                    stack.pop_back();
                    break;
                default:
                    break;
            }
        } else if (type == 2) {  // local
            const auto page = n == 4 ? static_cast<std::uint16_t>(value >> 16) : g.usagePage;
            const std::uint32_t usage = n == 4 ? (value & 0xFFFF) : value;
            if (tag == 0) {
                usages.push_back(UsageEntry{page, 1});
            } else if (tag == 1) {
                usageMin = usage;
                usageMinPage = page;
            } else if (tag == 2) {
                if (!usageMin || usage < *usageMin)
                    return false;
                usages.push_back(UsageEntry{usageMinPage, usage - *usageMin + 1});
                usageMin.reset();
            }
        } else if (type == 0) {  // main
            if (tag == 8 || tag == 9) {
                const bool constant = (value & 0x01) != 0;
                const bool variable = (value & 0x02) != 0;
                const std::uint64_t bits = std::uint64_t{g.reportSize} * g.reportCount;
                auto& reportBits = tag == 8 ? inputBits : outputBits;
                if ((reportBits[g.reportId] += bits) > MOST_BITS)
                    return false;
                if (!constant) {
                    std::uint64_t indices = 0;
                    for (const UsageEntry& u : usages)
                        indices += u.count;
                    if (usages.empty())
                        indices = 1;
                    auto& total = tag == 8 ? inputIndices : outputIndices;
                    if ((total += indices) > MOST_INDICES)
                        return false;
                    if (tag == 8 && variable && g.reportSize > 1) {
                        if (usages.empty())
                            out.inputValueUsagePages.push_back(g.usagePage);
                        for (const UsageEntry& u : usages)
                            out.inputValueUsagePages.push_back(u.page);
                    }
                }
            }
            usages.clear();
            usageMin.reset();
        }
    }
    auto lengthOf = [](const std::map<std::uint8_t, std::uint64_t>& bits) {
        std::uint64_t most = 0;
        for (const auto& [id, b] : bits)
            most = std::max(most, b);
        return static_cast<std::uint16_t>(bits.empty() ? 0 : (most + 7) / 8 + 1);
    };
    out.inputReportLength = lengthOf(inputBits);
    out.outputReportLength = lengthOf(outputBits);
    out.inputDataIndices = static_cast<std::uint16_t>(inputIndices);
    out.outputDataIndices = static_cast<std::uint16_t>(outputIndices);
    return true;
}

// ---- Backends ----

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<IHidBackend>> usb;  // newest last
    std::map<OsHandle, std::uint32_t> inputBuffers;
    bool linuxRegistered = false;
};

Registry& registry() {
    // Leaked like the device table: handles may be closed during exit.
    static auto* r = new Registry();
    return *r;
}

PortError hidOf(OsHandle handle, std::shared_ptr<IDeviceBackend>& keep, IHidBackend*& hid,
                std::intptr_t& local) {
    if (PortError e = deviceIo().resolve(handle, keep, local))
        return e;
    hid = dynamic_cast<IHidBackend*>(keep.get());
    if (hid == nullptr)
        return PortError{PortErrc::NotSupported, 0};
    return PortError::ok();
}

std::shared_ptr<IHidBackend> usbBackendFor(const std::string& path) {
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    for (auto it = r.usb.rbegin(); it != r.usb.rend(); ++it) {
        if ((*it)->claimsUsbPath(path))
            return *it;
    }
    return nullptr;
}

}  // namespace

void registerHidBackend(std::shared_ptr<IDeviceBackend> device, std::shared_ptr<IHidBackend> hid,
                        DeviceIo& io) {
    if (device)
        io.registerBackend(std::move(device));
    if (hid) {
        Registry& r = registry();
        std::lock_guard guard(r.mutex);
        r.usb.push_back(std::move(hid));
    }
}

void ensureHidBackends() {
    Registry& r = registry();
    {
        std::lock_guard guard(r.mutex);
        if (r.linuxRegistered)
            return;
        r.linuxRegistered = true;
    }
    std::shared_ptr<IDeviceBackend> device;
    auto hid = makeLinuxHidBackend("/dev", "/sys", device);
    // The Linux hidraw backend goes first in the descriptor list, so the
    // emulator's (registered later or earlier) keeps its own paths: the
    // backends claim disjoint paths anyway.
    registerHidBackend(std::move(device), std::move(hid));
}

PortError hidWriteReport(OsHandle handle, const std::uint8_t* report, std::size_t size) {
    if (report == nullptr || size != HID_REPORT_SIZE)
        return PortError{PortErrc::InvalidArgument, 0};
    std::shared_ptr<IDeviceBackend> keep;
    IHidBackend* hid = nullptr;
    std::intptr_t local = -1;
    if (PortError e = hidOf(handle, keep, hid, local))
        return e;
    return hid->hidWrite(local, report, size);
}

PortError hidReadReports(OsHandle handle, std::uint8_t* buffer, std::size_t size, int timeoutMs,
                         std::size_t& got) {
    got = 0;
    if (buffer == nullptr || size == 0)
        return PortError{PortErrc::InvalidArgument, 0};
    std::shared_ptr<IDeviceBackend> keep;
    IHidBackend* hid = nullptr;
    std::intptr_t local = -1;
    if (PortError e = hidOf(handle, keep, hid, local))
        return e;
    return hid->hidRead(local, buffer, size, timeoutMs, got);
}

PortError hidCapabilities(OsHandle handle, HidCaps& out) {
    std::shared_ptr<IDeviceBackend> keep;
    IHidBackend* hid = nullptr;
    std::intptr_t local = -1;
    if (PortError e = hidOf(handle, keep, hid, local))
        return e;
    return hid->hidCaps(local, out);
}

PortError hidFlush(OsHandle handle) {
    std::shared_ptr<IDeviceBackend> keep;
    IHidBackend* hid = nullptr;
    std::intptr_t local = -1;
    if (PortError e = hidOf(handle, keep, hid, local))
        return e;
    return hid->hidFlush(local);
}

PortError hidGetNumInputBuffers(OsHandle handle, std::uint32_t& out) {
    std::shared_ptr<IDeviceBackend> keep;
    IHidBackend* hid = nullptr;
    std::intptr_t local = -1;
    if (PortError e = hidOf(handle, keep, hid, local))
        return e;
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    auto it = r.inputBuffers.find(handle);
    out = it == r.inputBuffers.end() ? HID_DEFAULT_INPUT_BUFFERS : it->second;
    return PortError::ok();
}

PortError hidSetNumInputBuffers(OsHandle handle, std::uint32_t count) {
    if (count < HID_MIN_INPUT_BUFFERS || count > HID_MAX_INPUT_BUFFERS)
        return PortError{PortErrc::InvalidArgument, 0};
    std::shared_ptr<IDeviceBackend> keep;
    IHidBackend* hid = nullptr;
    std::intptr_t local = -1;
    if (PortError e = hidOf(handle, keep, hid, local))
        return e;
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    r.inputBuffers[handle] = count;
    return PortError::ok();
}

PortError usbDeviceDescriptor(const std::string& path, std::array<std::uint8_t, 18>& out) {
    auto backend = usbBackendFor(path);
    if (!backend)
        return PortError{PortErrc::NotFound, 0};
    return backend->usbDeviceDescriptor(path, out);
}

PortError usbStringDescriptor(const std::string& path, std::uint8_t index, std::uint16_t lang,
                              std::u16string& out) {
    out.clear();
    auto backend = usbBackendFor(path);
    if (!backend)
        return PortError{PortErrc::NotFound, 0};
    std::vector<std::uint8_t> raw;
    if (PortError e = backend->usbStringDescriptorRaw(path, index, lang, raw))
        return e;
    // bLength covers the header and an even number of text bytes.
    if (raw.size() < 2 || raw[1] != 3 || raw[0] < 2 || raw[0] > raw.size() || (raw[0] & 1) != 0)
        return PortError{PortErrc::IoError, 0};
    for (std::size_t i = 2; i + 1 < raw[0]; i += 2)
        out += static_cast<char16_t>(raw[i] | (raw[i + 1] << 8));
    return PortError::ok();
}

}  // namespace nork::port
