#include "port/emu/EmuProtocol.h"

#include <algorithm>
#include <cstring>

namespace nork::port::emu {
namespace {

class Writer {
  public:
    void u8(std::uint8_t v) { m_out.push_back(v); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    // Texts longer than MAX_TEXT are cut, so the encoder never produces what
    // the decoder refuses.
    void text(const std::string& s) {
        const std::size_t n = std::min(s.size(), MAX_TEXT);
        u16(static_cast<std::uint16_t>(n));
        m_out.insert(m_out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void bytes(const std::vector<std::uint8_t>& b) {
        u32(static_cast<std::uint32_t>(b.size()));
        m_out.insert(m_out.end(), b.begin(), b.end());
    }
    void raw(const std::uint8_t* p, std::size_t n) { m_out.insert(m_out.end(), p, p + n); }
    std::vector<std::uint8_t> take() { return std::move(m_out); }

  private:
    std::vector<std::uint8_t> m_out;
};

// Reads fields in order; after the first failure every read fails, so
// decoders check once at the end.
class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& in) : m_in(in) {}

    bool u8(std::uint8_t& v) {
        if (!need(1))
            return false;
        v = m_in[m_pos++];
        return true;
    }
    bool boolean(bool& v) {
        std::uint8_t b = 0;
        if (!u8(b) || b > 1)
            return fail();
        v = b == 1;
        return true;
    }
    bool u16(std::uint16_t& v) {
        if (!need(2))
            return false;
        v = static_cast<std::uint16_t>(m_in[m_pos] | (m_in[m_pos + 1] << 8));
        m_pos += 2;
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::uint16_t lo = 0, hi = 0;
        if (!u16(lo) || !u16(hi))
            return false;
        v = lo | (static_cast<std::uint32_t>(hi) << 16);
        return true;
    }
    bool u64(std::uint64_t& v) {
        std::uint32_t lo = 0, hi = 0;
        if (!u32(lo) || !u32(hi))
            return false;
        v = lo | (static_cast<std::uint64_t>(hi) << 32);
        return true;
    }
    bool text(std::string& s, std::size_t max = MAX_TEXT) {
        std::uint16_t n = 0;
        if (!u16(n))
            return false;
        if (n > max || !need(n))
            return fail();
        s.assign(m_in.begin() + static_cast<std::ptrdiff_t>(m_pos),
                 m_in.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
        m_pos += n;
        return true;
    }
    bool bytes(std::vector<std::uint8_t>& b, std::size_t max) {
        std::uint32_t n = 0;
        if (!u32(n))
            return false;
        if (n > max || !need(n))
            return fail();
        b.assign(m_in.begin() + static_cast<std::ptrdiff_t>(m_pos),
                 m_in.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
        m_pos += n;
        return true;
    }
    bool raw(std::uint8_t* p, std::size_t n) {
        if (!need(n))
            return false;
        std::memcpy(p, m_in.data() + m_pos, n);
        m_pos += n;
        return true;
    }
    bool fail() {
        m_ok = false;
        return false;
    }
    // True when every read succeeded and nothing is left over.
    bool done() const { return m_ok && m_pos == m_in.size(); }
    // True when every read succeeded and more bytes follow (optional
    // trailing fields).
    bool more() const { return m_ok && m_pos < m_in.size(); }

  private:
    bool need(std::size_t n) {
        if (!m_ok || m_in.size() - m_pos < n)
            return fail();
        return true;
    }

    const std::vector<std::uint8_t>& m_in;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

bool validSerial(const std::string& s) {
    return !s.empty() && s.size() <= 64;
}

void writeInfo(Writer& w, const DriveInfo& m, bool extended) {
    w.text(m.serial);
    w.text(m.vendor);
    w.text(m.product);
    w.text(m.revision);
    w.text(m.firmware);
    w.text(m.reportVendor);
    w.text(m.reportProduct);
    w.u16(m.usbVendorId);
    w.u16(m.usbProductId);
    w.text(m.mode);
    w.u32(m.flashSectors);
    w.u32(m.freeSectors);
    w.text(m.layout);
    w.text(m.services);
    w.u16(static_cast<std::uint16_t>(m.domains.size()));
    for (const Domain& d : m.domains) {
        w.u8(d.type);
        w.u16(d.flags);
        w.u32(d.firstSector);
        w.u32(d.sizeSectors);
        w.u8(d.lun);
    }
    w.u32(m.errorRegister);
    w.u8(static_cast<std::uint8_t>(m.bus));
    w.boolean(m.plugged);
    w.u32(m.reattachDelayMs);
    w.u32(m.readyDelayMs);
    for (std::uint32_t v : m.lastDetachAttach)
        w.u32(v);
    w.u64(m.commandCount);
    const Faults& f = m.faults;
    w.u32(f.failNext);
    w.boolean(f.hasFailCode);
    w.u32(f.failCode);
    w.boolean(f.dropOnNextCommand);
    w.boolean(f.neverReattach);
    w.boolean(f.hasReattachDelay);
    w.u32(f.reattachDelayMs);
    w.u32(f.commandDelayMs);
    w.u32(f.tearWriteIn);
    w.u32(f.tearKeepSectors);
    w.boolean(f.tearThenDrop);
    w.text(m.stateDir);
    if (extended) {
        w.u16(m.hiddenPages);
        w.u32(f.tearPageIn);
        w.u32(f.tearPageKeepBytes);
        w.boolean(f.tearPageLost);
    }
}

bool readInfo(Reader& r, DriveInfo& m, bool extended) {
    r.text(m.serial) && r.text(m.vendor) && r.text(m.product) && r.text(m.revision) &&
        r.text(m.firmware) && r.text(m.reportVendor) && r.text(m.reportProduct) &&
        r.u16(m.usbVendorId) && r.u16(m.usbProductId) && r.text(m.mode) && r.u32(m.flashSectors) &&
        r.u32(m.freeSectors) && r.text(m.layout) && r.text(m.services);
    std::uint16_t count = 0;
    if (!r.u16(count) || count > 255)
        return r.fail();
    m.domains.assign(count, Domain{});
    for (Domain& d : m.domains) {
        if (!(r.u8(d.type) && r.u16(d.flags) && r.u32(d.firstSector) && r.u32(d.sizeSectors) &&
              r.u8(d.lun)))
            return false;
    }
    std::uint8_t bus = 0;
    if (!r.u32(m.errorRegister) || !r.u8(bus) || bus > 2)
        return r.fail();
    m.bus = static_cast<Bus>(bus);
    r.boolean(m.plugged) && r.u32(m.reattachDelayMs) && r.u32(m.readyDelayMs);
    for (std::uint32_t& v : m.lastDetachAttach)
        r.u32(v);
    Faults& f = m.faults;
    const bool base = r.u64(m.commandCount) && r.u32(f.failNext) && r.boolean(f.hasFailCode) &&
                      r.u32(f.failCode) && r.boolean(f.dropOnNextCommand) &&
                      r.boolean(f.neverReattach) && r.boolean(f.hasReattachDelay) &&
                      r.u32(f.reattachDelayMs) && r.u32(f.commandDelayMs) && r.u32(f.tearWriteIn) &&
                      r.u32(f.tearKeepSectors) && r.boolean(f.tearThenDrop) && r.text(m.stateDir);
    if (!base || !extended)
        return base;
    return r.u16(m.hiddenPages) && r.u32(f.tearPageIn) && r.u32(f.tearPageKeepBytes) &&
           r.boolean(f.tearPageLost);
}

}  // namespace

const char* emuErrcName(EmuErrc code) {
    switch (code) {
        case EmuErrc::Malformed:
            return "malformed request";
        case EmuErrc::BadVersion:
            return "unsupported protocol version";
        case EmuErrc::UnknownType:
            return "unknown request";
        case EmuErrc::NoSuchDrive:
            return "no such drive";
        case EmuErrc::DriveExists:
            return "drive exists";
        case EmuErrc::InvalidConfig:
            return "invalid configuration";
        case EmuErrc::NoSuchLun:
            return "no such LUN";
        case EmuErrc::Failed:
            return "failed";
        case EmuErrc::Busy:
            return "daemon busy";
    }
    return "unknown error";
}

const char* busName(Bus bus) {
    switch (bus) {
        case Bus::Detached:
            return "detached";
        case Bus::Attaching:
            return "attaching";
        case Bus::Attached:
            return "attached";
    }
    return "?";
}

const char* faultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Clear:
            return "clear";
        case FaultKind::FailNext:
            return "fail-next";
        case FaultKind::Drop:
            return "drop";
        case FaultKind::NeverReattach:
            return "never-reattach";
        case FaultKind::ReattachDelay:
            return "reattach-delay";
        case FaultKind::CommandDelay:
            return "command-delay";
        case FaultKind::TearWrite:
            return "tear-write";
        case FaultKind::HidSilent:
            return "hid-silent";
        case FaultKind::HidWrongEcho:
            return "hid-wrong-echo";
        case FaultKind::TearPage:
            return "tear-page";
    }
    return "?";
}

const char* eventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::Attached:
            return "attached";
        case EventKind::Ready:
            return "ready";
        case EventKind::Detached:
            return "detached";
    }
    return "?";
}

std::uint8_t DriveInfo::lunCount() const {
    std::uint8_t n = 0;
    for (const Domain& d : domains) {
        if (d.lun != 255)
            ++n;
    }
    return n;
}

void encodeHeader(const Header& h, std::uint8_t* out) {
    Writer w;
    w.u32(h.magic);
    w.u16(h.version);
    w.u16(h.type);
    w.u32(h.id);
    w.u32(h.length);
    const auto bytes = w.take();
    std::memcpy(out, bytes.data(), HEADER_SIZE);
}

bool decodeHeader(const std::uint8_t* in, Header& out, EmuErrc& why) {
    std::vector<std::uint8_t> bytes(in, in + HEADER_SIZE);
    Reader r(bytes);
    r.u32(out.magic) && r.u16(out.version) && r.u16(out.type) && r.u32(out.id) && r.u32(out.length);
    if (out.magic != PROTOCOL_MAGIC || out.length > MAX_PAYLOAD) {
        why = EmuErrc::Malformed;
        return false;
    }
    if (out.version != PROTOCOL_VERSION) {
        why = EmuErrc::BadVersion;
        return false;
    }
    return true;
}

std::vector<std::uint8_t> frame(std::uint16_t type, std::uint32_t id,
                                const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out(HEADER_SIZE);
    Header h;
    h.type = type;
    h.id = id;
    h.length = static_cast<std::uint32_t>(payload.size());
    encodeHeader(h, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// ---- Encoders ----

std::vector<std::uint8_t> encode(const SerialRequest& m) {
    Writer w;
    w.text(m.serial);
    return w.take();
}

std::vector<std::uint8_t> encode(const OpenLunRequest& m) {
    Writer w;
    w.text(m.serial);
    w.u8(m.lun);
    return w.take();
}

std::vector<std::uint8_t> encode(const ScsiCommand& m) {
    Writer w;
    w.text(m.serial);
    w.u8(m.lun);
    w.u8(static_cast<std::uint8_t>(m.dir));
    w.u32(m.transferLength);
    w.u32(m.timeoutMs);
    w.bytes(m.cdb);
    w.bytes(m.dataOut);
    return w.take();
}

std::vector<std::uint8_t> encode(const ScsiAnswer& m) {
    Writer w;
    w.boolean(m.noDevice);
    w.u8(m.status);
    w.raw(m.sense.data(), m.sense.size());
    w.bytes(m.dataIn);
    return w.take();
}

std::vector<std::uint8_t> encode(const DriveConfig& m) {
    Writer w;
    w.text(m.serial);
    w.text(m.vendor);
    w.text(m.product);
    w.text(m.revision);
    w.text(m.firmware);
    w.text(m.reportVendor);
    w.text(m.reportProduct);
    w.u16(m.usbVendorId);
    w.u16(m.usbProductId);
    w.text(m.mode);
    w.u32(m.flashSectors);
    w.text(m.layout);
    w.text(m.services);
    w.u32(m.reattachDelayMs);
    w.u32(m.readyDelayMs);
    w.boolean(m.attached);
    // The extension only when it says something, so a daemon that predates
    // it still takes ordinary configurations.
    if (m.hiddenPages != 0)
        w.u16(m.hiddenPages);
    return w.take();
}

std::vector<std::uint8_t> encode(const InspectRequest& m) {
    Writer w;
    w.text(m.serial);
    if (m.extended)
        w.u8(INFO_EXTENDED);
    return w.take();
}

std::vector<std::uint8_t> encode(const ListRequest& m) {
    Writer w;
    if (m.extended)
        w.u8(INFO_EXTENDED);
    return w.take();
}

std::vector<std::uint8_t> encode(const DriveInfo& m, bool extended) {
    Writer w;
    writeInfo(w, m, extended);
    return w.take();
}

std::vector<std::uint8_t> encode(const std::vector<DriveInfo>& m, bool extended) {
    Writer w;
    w.u32(static_cast<std::uint32_t>(m.size()));
    for (const DriveInfo& info : m)
        writeInfo(w, info, extended);
    return w.take();
}

std::vector<std::uint8_t> encode(const FaultRequest& m) {
    Writer w;
    w.text(m.serial);
    w.u8(static_cast<std::uint8_t>(m.kind));
    w.u32(m.count);
    w.u32(m.value);
    w.boolean(m.flag);
    return w.take();
}

std::vector<std::uint8_t> encode(const Event& m) {
    Writer w;
    w.text(m.serial);
    w.u8(m.lunCount);
    w.u8(static_cast<std::uint8_t>(m.kind));
    return w.take();
}

std::vector<std::uint8_t> encode(const ErrorReply& m) {
    Writer w;
    w.u16(static_cast<std::uint16_t>(m.code));
    w.text(m.message);
    return w.take();
}

// ---- Decoders ----

bool decode(const std::vector<std::uint8_t>& in, SerialRequest& out) {
    Reader r(in);
    r.text(out.serial);
    return r.done() && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, OpenLunRequest& out) {
    Reader r(in);
    r.text(out.serial) && r.u8(out.lun);
    return r.done() && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, ScsiCommand& out) {
    Reader r(in);
    std::uint8_t dir = 0;
    r.text(out.serial) && r.u8(out.lun) && r.u8(dir) && r.u32(out.transferLength) &&
        r.u32(out.timeoutMs) && r.bytes(out.cdb, MAX_CDB) && r.bytes(out.dataOut, MAX_DATA);
    if (!r.done() || !validSerial(out.serial) || dir > 2 || out.cdb.empty() ||
        out.transferLength > MAX_DATA)
        return false;
    out.dir = static_cast<DataDir>(dir);
    // Data travels one way: out with its bytes, in with a buffer size.
    if (out.dir != DataDir::Out && !out.dataOut.empty())
        return false;
    if (out.dir != DataDir::In && out.transferLength != 0)
        return false;
    return true;
}

bool decode(const std::vector<std::uint8_t>& in, ScsiAnswer& out) {
    Reader r(in);
    std::uint8_t status = 0;
    r.boolean(out.noDevice) && r.u8(status) && r.raw(out.sense.data(), out.sense.size()) &&
        r.bytes(out.dataIn, MAX_DATA);
    out.status = status;
    return r.done();
}

bool decode(const std::vector<std::uint8_t>& in, DriveConfig& out) {
    Reader r(in);
    r.text(out.serial) && r.text(out.vendor) && r.text(out.product) && r.text(out.revision) &&
        r.text(out.firmware) && r.text(out.reportVendor) && r.text(out.reportProduct) &&
        r.u16(out.usbVendorId) && r.u16(out.usbProductId) && r.text(out.mode) &&
        r.u32(out.flashSectors) && r.text(out.layout) && r.text(out.services) &&
        r.u32(out.reattachDelayMs) && r.u32(out.readyDelayMs) && r.boolean(out.attached);
    out.extended = r.more();
    if (out.extended)
        r.u16(out.hiddenPages);
    return r.done();
}

bool decode(const std::vector<std::uint8_t>& in, InspectRequest& out) {
    Reader r(in);
    r.text(out.serial);
    out.extended = r.more();
    if (out.extended) {
        std::uint8_t level = 0;
        if (!r.u8(level) || level != INFO_EXTENDED)
            return false;
    }
    return r.done() && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, ListRequest& out) {
    out.extended = !in.empty();
    return in.empty() || (in.size() == 1 && in[0] == INFO_EXTENDED);
}

bool decode(const std::vector<std::uint8_t>& in, DriveInfo& out, bool extended) {
    Reader r(in);
    readInfo(r, out, extended);
    return r.done();
}

bool decode(const std::vector<std::uint8_t>& in, std::vector<DriveInfo>& out, bool extended) {
    Reader r(in);
    std::uint32_t count = 0;
    // Each entry takes well over 64 bytes, which bounds the count.
    if (!r.u32(count) || count > in.size() / 64)
        return false;
    out.assign(count, DriveInfo{});
    for (DriveInfo& info : out) {
        if (!readInfo(r, info, extended))
            return false;
    }
    return r.done();
}

bool decode(const std::vector<std::uint8_t>& in, FaultRequest& out) {
    Reader r(in);
    std::uint8_t kind = 0;
    r.text(out.serial) && r.u8(kind) && r.u32(out.count) && r.u32(out.value) && r.boolean(out.flag);
    if (!r.done() || !validSerial(out.serial) || kind > 9)
        return false;
    out.kind = static_cast<FaultKind>(kind);
    return true;
}

bool decode(const std::vector<std::uint8_t>& in, Event& out) {
    Reader r(in);
    std::uint8_t kind = 0;
    r.text(out.serial) && r.u8(out.lunCount) && r.u8(kind);
    if (!r.done() || kind < 1 || kind > 3)
        return false;
    out.kind = static_cast<EventKind>(kind);
    return true;
}

bool decode(const std::vector<std::uint8_t>& in, ErrorReply& out) {
    Reader r(in);
    std::uint16_t code = 0;
    r.u16(code) && r.text(out.message);
    out.code = static_cast<EmuErrc>(code);
    return r.done();
}

// ---- HID and USB ----

std::vector<std::uint8_t> encode(const HidWriteRequest& m) {
    Writer w;
    w.text(m.serial);
    w.bytes(m.report);
    return w.take();
}

std::vector<std::uint8_t> encode(const HidReadRequest& m) {
    Writer w;
    w.text(m.serial);
    w.u32(m.maxBytes);
    w.u32(m.timeoutMs);
    return w.take();
}

std::vector<std::uint8_t> encode(const UsbDescriptorRequest& m) {
    Writer w;
    w.text(m.serial);
    w.u8(m.type);
    w.u8(m.index);
    w.u16(m.lang);
    return w.take();
}

std::vector<std::uint8_t> encode(const UsbModeRequest& m) {
    Writer w;
    w.text(m.serial);
    w.u8(static_cast<std::uint8_t>(m.mode));
    return w.take();
}

std::vector<std::uint8_t> encode(const BytesReply& m) {
    Writer w;
    w.bytes(m.bytes);
    return w.take();
}

bool decode(const std::vector<std::uint8_t>& in, HidWriteRequest& out) {
    Reader r(in);
    r.text(out.serial) && r.bytes(out.report, MAX_HID_REPORT);
    return r.done() && validSerial(out.serial) && !out.report.empty();
}

bool decode(const std::vector<std::uint8_t>& in, HidReadRequest& out) {
    Reader r(in);
    r.text(out.serial) && r.u32(out.maxBytes) && r.u32(out.timeoutMs);
    return r.done() && validSerial(out.serial) && out.maxBytes > 0 && out.maxBytes <= MAX_HID_READ;
}

bool decode(const std::vector<std::uint8_t>& in, UsbDescriptorRequest& out) {
    Reader r(in);
    r.text(out.serial) && r.u8(out.type) && r.u8(out.index) && r.u16(out.lang);
    return r.done() && validSerial(out.serial) && out.type >= 1 && out.type <= 3;
}

bool decode(const std::vector<std::uint8_t>& in, UsbModeRequest& out) {
    Reader r(in);
    std::uint8_t mode = 0;
    r.text(out.serial) && r.u8(mode);
    if (!r.done() || !validSerial(out.serial) || mode > 2)
        return false;
    out.mode = static_cast<UsbMode>(mode);
    return true;
}

bool decode(const std::vector<std::uint8_t>& in, BytesReply& out) {
    Reader r(in);
    r.bytes(out.bytes, MAX_DATA);
    return r.done();
}

}  // namespace nork::port::emu
