#include "port/emu/EmuProtocol.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

namespace nork::port::emu {
namespace {

// The codec walks one field list per message (the fields() overloads below)
// with either of two visitors: Writer appends each field, Reader takes it
// from the input. Every visit answers whether it went well; Writer's always
// do. Field lists chain visits with &&, so a Reader stops at the first
// failure.

class Writer {
  public:
    template <class T>
    using Ref = const T&;

    bool u8(std::uint8_t v) {
        m_out.push_back(v);
        return true;
    }
    bool boolean(bool v) { return u8(v ? 1 : 0); }
    bool u16(std::uint16_t v) {
        return u8(static_cast<std::uint8_t>(v)) && u8(static_cast<std::uint8_t>(v >> 8));
    }
    bool u32(std::uint32_t v) {
        return u16(static_cast<std::uint16_t>(v)) && u16(static_cast<std::uint16_t>(v >> 16));
    }
    bool u64(std::uint64_t v) {
        return u32(static_cast<std::uint32_t>(v)) && u32(static_cast<std::uint32_t>(v >> 32));
    }
    // Texts longer than MAX_TEXT are cut, so the encoder never produces what
    // the decoder refuses.
    bool text(const std::string& s) {
        const std::size_t n = std::min(s.size(), MAX_TEXT);
        u16(static_cast<std::uint16_t>(n));
        m_out.insert(m_out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
        return true;
    }
    bool bytes(const std::vector<std::uint8_t>& b, std::size_t /*max*/) {
        u32(static_cast<std::uint32_t>(b.size()));
        m_out.insert(m_out.end(), b.begin(), b.end());
        return true;
    }
    template <std::size_t N>
    bool raw(const std::array<std::uint8_t, N>& a) {
        m_out.insert(m_out.end(), a.begin(), a.end());
        return true;
    }
    template <class E>
    bool enumeration(E v) {
        return integer(static_cast<std::underlying_type_t<E>>(v));
    }
    // An enumeration whose unknown values pass (error codes of later
    // daemons).
    template <class E>
    bool anyEnumeration(E v) {
        return enumeration(v);
    }
    // A count then each item. `maxCount` and `minItemSize` bound a decoded
    // count; written counts are what they are.
    template <class Count, class T, class F>
    bool sequence(const std::vector<T>& items, std::size_t /*maxCount*/,
                  std::size_t /*minItemSize*/, F&& each) {
        integer(static_cast<Count>(items.size()));
        for (const T& item : items)
            each(*this, item);
        return true;
    }
    // A trailing extension field, sent only when not 0; `present` is what a
    // decoder reports.
    bool extension(std::uint16_t v, const bool& /*present*/) { return v == 0 || u16(v); }
    // A trailing INFO_EXTENDED mark, sent when the flag is set.
    bool extendedMark(const bool& on) { return !on || u8(INFO_EXTENDED); }

    std::vector<std::uint8_t> take() { return std::move(m_out); }

  private:
    bool integer(std::uint8_t v) { return u8(v); }
    bool integer(std::uint16_t v) { return u16(v); }
    bool integer(std::uint32_t v) { return u32(v); }

    std::vector<std::uint8_t> m_out;
};

// After the first failure every read fails, so decoders check once at the
// end (done()).
class Reader {
  public:
    template <class T>
    using Ref = T&;

    explicit Reader(const std::vector<std::uint8_t>& in) : Reader(in.data(), in.size()) {}
    Reader(const std::uint8_t* in, std::size_t size) : m_in(in), m_size(size) {}

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
    bool text(std::string& s) {
        std::uint16_t n = 0;
        if (!u16(n))
            return false;
        if (n > MAX_TEXT || !need(n))
            return fail();
        s.assign(m_in + m_pos, m_in + m_pos + n);
        m_pos += n;
        return true;
    }
    bool bytes(std::vector<std::uint8_t>& b, std::size_t max) {
        std::uint32_t n = 0;
        if (!u32(n))
            return false;
        if (n > max || !need(n))
            return fail();
        b.assign(m_in + m_pos, m_in + m_pos + n);
        m_pos += n;
        return true;
    }
    template <std::size_t N>
    bool raw(std::array<std::uint8_t, N>& a) {
        if (!need(N))
            return false;
        std::memcpy(a.data(), m_in + m_pos, N);
        m_pos += N;
        return true;
    }
    template <class E>
    bool enumeration(E& v) {
        using U = std::underlying_type_t<E>;
        U raw = 0;
        if (!integer(raw) || raw < static_cast<U>(WireRange<E>::first) ||
            raw > static_cast<U>(WireRange<E>::last))
            return fail();
        v = static_cast<E>(raw);
        return true;
    }
    template <class E>
    bool anyEnumeration(E& v) {
        std::underlying_type_t<E> raw = 0;
        if (!integer(raw))
            return false;
        v = static_cast<E>(raw);
        return true;
    }
    template <class Count, class T, class F>
    bool sequence(std::vector<T>& items, std::size_t maxCount, std::size_t minItemSize, F&& each) {
        // Bounded by what the input could hold before anything is reserved.
        const std::size_t fits = (m_size - m_pos) / std::max<std::size_t>(minItemSize, 1);
        Count n = 0;
        if (!integer(n) || n > maxCount || n > fits)
            return fail();
        items.assign(n, T{});
        for (T& item : items) {
            if (!each(*this, item))
                return fail();
        }
        return true;
    }
    bool extension(std::uint16_t& v, bool& present) {
        present = more();
        return !present || u16(v);
    }
    bool extendedMark(bool& on) {
        on = more();
        std::uint8_t mark = 0;
        return !on || (u8(mark) && (mark == INFO_EXTENDED || fail()));
    }

    bool fail() {
        m_ok = false;
        return false;
    }
    // True when every read succeeded and nothing is left over.
    bool done() const { return m_ok && m_pos == m_size; }

  private:
    bool integer(std::uint8_t& v) { return u8(v); }
    bool integer(std::uint16_t& v) { return u16(v); }
    bool integer(std::uint32_t& v) { return u32(v); }
    // Every read succeeded and more bytes follow (optional trailing fields).
    bool more() const { return m_ok && m_pos < m_size; }
    bool need(std::size_t n) {
        if (!m_ok || m_size - m_pos < n)
            return fail();
        return true;
    }

    const std::uint8_t* m_in;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

// ---- Field lists ----
//
// `typename V::template Ref<M>` is const M& for Writer and M& for Reader; V
// is deduced from the visitor, and only the overload for the message's type
// fits.

template <class V>
bool fields(V& v, typename V::template Ref<Header> m) {
    return v.u32(m.magic) && v.u16(m.version) && v.u16(m.type) && v.u32(m.id) && v.u32(m.length);
}

template <class V>
bool fields(V& v, typename V::template Ref<SerialRequest> m) {
    return v.text(m.serial);
}

template <class V>
bool fields(V& v, typename V::template Ref<InspectRequest> m) {
    return v.text(m.serial) && v.extendedMark(m.extended);
}

template <class V>
bool fields(V& v, typename V::template Ref<ListRequest> m) {
    return v.extendedMark(m.extended);
}

template <class V>
bool fields(V& v, typename V::template Ref<OpenLunRequest> m) {
    return v.text(m.serial) && v.u8(m.lun);
}

template <class V>
bool fields(V& v, typename V::template Ref<ScsiCommand> m) {
    return v.text(m.serial) && v.u8(m.lun) && v.enumeration(m.dir) && v.u32(m.transferLength) &&
           v.u32(m.timeoutMs) && v.bytes(m.cdb, MAX_CDB) && v.bytes(m.dataOut, MAX_DATA);
}

template <class V>
bool fields(V& v, typename V::template Ref<ScsiAnswer> m) {
    return v.boolean(m.noDevice) && v.u8(m.status) && v.raw(m.sense) && v.bytes(m.dataIn, MAX_DATA);
}

template <class V>
bool fields(V& v, typename V::template Ref<DriveConfig> m) {
    return v.text(m.serial) && v.text(m.vendor) && v.text(m.product) && v.text(m.revision) &&
           v.text(m.firmware) && v.text(m.reportVendor) && v.text(m.reportProduct) &&
           v.u16(m.usbVendorId) && v.u16(m.usbProductId) && v.text(m.mode) &&
           v.u32(m.flashSectors) && v.text(m.layout) && v.text(m.services) &&
           v.u32(m.reattachDelayMs) && v.u32(m.readyDelayMs) && v.boolean(m.attached) &&
           // The extension only when it says something, so a daemon that
           // predates it still takes ordinary configurations.
           v.extension(m.hiddenPages, m.extended);
}

template <class V>
bool fields(V& v, typename V::template Ref<Domain> m) {
    return v.u8(m.type) && v.u16(m.flags) && v.u32(m.firstSector) && v.u32(m.sizeSectors) &&
           v.u8(m.lun);
}

// A DriveInfo's smallest encoding is well above this (eleven empty texts and
// the fixed fields); it bounds the count of a list before anything is read.
constexpr std::size_t MIN_DRIVE_INFO_SIZE = 64;

template <class V>
bool fields(V& v, typename V::template Ref<DriveInfo> m, bool extended) {
    auto& f = m.faults;
    const bool base =
        v.text(m.serial) && v.text(m.vendor) && v.text(m.product) && v.text(m.revision) &&
        v.text(m.firmware) && v.text(m.reportVendor) && v.text(m.reportProduct) &&
        v.u16(m.usbVendorId) && v.u16(m.usbProductId) && v.text(m.mode) && v.u32(m.flashSectors) &&
        v.u32(m.freeSectors) && v.text(m.layout) && v.text(m.services) &&
        v.template sequence<std::uint16_t>(m.domains, MAX_DOMAINS, 0,
                                           [](V& w, auto& d) { return fields(w, d); }) &&
        v.u32(m.errorRegister) && v.enumeration(m.bus) && v.boolean(m.plugged) &&
        v.u32(m.reattachDelayMs) && v.u32(m.readyDelayMs) && v.u32(m.lastDetachAttach[0]) &&
        v.u32(m.lastDetachAttach[1]) && v.u32(m.lastDetachAttach[2]) && v.u64(m.commandCount) &&
        v.u32(f.failNext) && v.boolean(f.hasFailCode) && v.u32(f.failCode) &&
        v.boolean(f.dropOnNextCommand) && v.boolean(f.neverReattach) &&
        v.boolean(f.hasReattachDelay) && v.u32(f.reattachDelayMs) && v.u32(f.commandDelayMs) &&
        v.u32(f.tearWriteIn) && v.u32(f.tearKeepSectors) && v.boolean(f.tearThenDrop) &&
        v.text(m.stateDir);
    if (!base || !extended)
        return base;
    return v.u16(m.hiddenPages) && v.u32(f.tearPageIn) && v.u32(f.tearPageKeepBytes) &&
           v.boolean(f.tearPageLost);
}

template <class V>
bool fields(V& v, typename V::template Ref<std::vector<DriveInfo>> m, bool extended) {
    return v.template sequence<std::uint32_t>(
        m, std::numeric_limits<std::uint32_t>::max(), MIN_DRIVE_INFO_SIZE,
        [extended](V& w, auto& info) { return fields(w, info, extended); });
}

template <class V>
bool fields(V& v, typename V::template Ref<FaultRequest> m) {
    return v.text(m.serial) && v.enumeration(m.kind) && v.u32(m.count) && v.u32(m.value) &&
           v.boolean(m.flag);
}

template <class V>
bool fields(V& v, typename V::template Ref<Event> m) {
    return v.text(m.serial) && v.u8(m.lunCount) && v.enumeration(m.kind);
}

template <class V>
bool fields(V& v, typename V::template Ref<ErrorReply> m) {
    return v.anyEnumeration(m.code) && v.text(m.message);
}

template <class V>
bool fields(V& v, typename V::template Ref<HidWriteRequest> m) {
    return v.text(m.serial) && v.bytes(m.report, MAX_HID_REPORT);
}

template <class V>
bool fields(V& v, typename V::template Ref<HidReadRequest> m) {
    return v.text(m.serial) && v.u32(m.maxBytes) && v.u32(m.timeoutMs);
}

template <class V>
bool fields(V& v, typename V::template Ref<UsbDescriptorRequest> m) {
    return v.text(m.serial) && v.u8(m.type) && v.u8(m.index) && v.u16(m.lang);
}

template <class V>
bool fields(V& v, typename V::template Ref<UsbModeRequest> m) {
    return v.text(m.serial) && v.enumeration(m.mode);
}

template <class V>
bool fields(V& v, typename V::template Ref<VolumeRequest> m) {
    return v.text(m.serial) && v.u8(m.lun) && v.enumeration(m.op);
}

template <class V>
bool fields(V& v, typename V::template Ref<VolumeReply> m) {
    return v.boolean(m.locked) && v.boolean(m.mine) && v.boolean(m.mounted);
}

template <class V>
bool fields(V& v, typename V::template Ref<BytesReply> m) {
    return v.bytes(m.bytes, MAX_DATA);
}

template <class M, class... Extra>
std::vector<std::uint8_t> encodeFields(const M& m, Extra... extra) {
    Writer w;
    fields(w, m, extra...);
    return w.take();
}

// Structure only; each decode() adds the checks that span fields.
template <class M, class... Extra>
bool decodeFields(const std::vector<std::uint8_t>& in, M& m, Extra... extra) {
    Reader r(in);
    fields(r, m, extra...);
    return r.done();
}

bool validSerial(const std::string& s) {
    return !s.empty() && s.size() <= MAX_SERIAL;
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
        case EmuErrc::VolumeLocked:
            return "volume locked";
    }
    return "unknown error";
}

const char* dataDirName(DataDir dir) {
    switch (dir) {
        case DataDir::Out:
            return "out";
        case DataDir::In:
            return "in";
        case DataDir::None:
            return "none";
    }
    return "?";
}

const char* volumeOpName(VolumeOp op) {
    switch (op) {
        case VolumeOp::Query:
            return "query";
        case VolumeOp::Lock:
            return "lock";
        case VolumeOp::Dismount:
            return "dismount";
        case VolumeOp::Unlock:
            return "unlock";
        case VolumeOp::Release:
            return "release";
    }
    return "?";
}

const char* usbModeName(UsbMode mode) {
    switch (mode) {
        case UsbMode::Query:
            return "query";
        case UsbMode::DiskOnly:
            return "disk";
        case UsbMode::Composite:
            return "composite";
    }
    return "?";
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
        case FaultKind::WrongSessionProof:
            return "wrong-session-proof";
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
    const auto bytes = encodeFields(h);
    std::memcpy(out, bytes.data(), HEADER_SIZE);
}

bool decodeHeader(const std::uint8_t* in, Header& out, EmuErrc& why) {
    Reader r(in, HEADER_SIZE);
    fields(r, out);
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
    Header h;
    h.type = type;
    h.id = id;
    h.length = static_cast<std::uint32_t>(payload.size());
    std::vector<std::uint8_t> out = encodeFields(h);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// ---- Encoders ----

std::vector<std::uint8_t> encode(const SerialRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const OpenLunRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const ScsiCommand& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const ScsiAnswer& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const DriveConfig& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const InspectRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const ListRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const DriveInfo& m, bool extended) {
    return encodeFields(m, extended);
}
std::vector<std::uint8_t> encode(const std::vector<DriveInfo>& m, bool extended) {
    return encodeFields(m, extended);
}
std::vector<std::uint8_t> encode(const FaultRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const Event& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const ErrorReply& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const HidWriteRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const HidReadRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const UsbDescriptorRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const UsbModeRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const BytesReply& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const VolumeRequest& m) {
    return encodeFields(m);
}
std::vector<std::uint8_t> encode(const VolumeReply& m) {
    return encodeFields(m);
}

// ---- Decoders ----

bool decode(const std::vector<std::uint8_t>& in, SerialRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, OpenLunRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, ScsiCommand& out) {
    if (!decodeFields(in, out) || !validSerial(out.serial) || out.cdb.empty() ||
        out.transferLength > MAX_DATA)
        return false;
    // Data travels one way: out with its bytes, in with a buffer size.
    if (out.dir != DataDir::Out && !out.dataOut.empty())
        return false;
    if (out.dir != DataDir::In && out.transferLength != 0)
        return false;
    return true;
}

bool decode(const std::vector<std::uint8_t>& in, ScsiAnswer& out) {
    return decodeFields(in, out);
}

bool decode(const std::vector<std::uint8_t>& in, DriveConfig& out) {
    return decodeFields(in, out);
}

bool decode(const std::vector<std::uint8_t>& in, InspectRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, ListRequest& out) {
    return decodeFields(in, out);
}

bool decode(const std::vector<std::uint8_t>& in, DriveInfo& out, bool extended) {
    return decodeFields(in, out, extended);
}

bool decode(const std::vector<std::uint8_t>& in, std::vector<DriveInfo>& out, bool extended) {
    return decodeFields(in, out, extended);
}

bool decode(const std::vector<std::uint8_t>& in, FaultRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, Event& out) {
    return decodeFields(in, out);
}

bool decode(const std::vector<std::uint8_t>& in, ErrorReply& out) {
    return decodeFields(in, out);
}

bool decode(const std::vector<std::uint8_t>& in, HidWriteRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial) && !out.report.empty();
}

bool decode(const std::vector<std::uint8_t>& in, HidReadRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial) && out.maxBytes > 0 &&
           out.maxBytes <= MAX_HID_READ;
}

bool decode(const std::vector<std::uint8_t>& in, UsbDescriptorRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial) && out.type >= USB_DESCRIPTOR_DEVICE &&
           out.type <= USB_DESCRIPTOR_STRING;
}

bool decode(const std::vector<std::uint8_t>& in, UsbModeRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, BytesReply& out) {
    return decodeFields(in, out);
}

bool decode(const std::vector<std::uint8_t>& in, VolumeRequest& out) {
    return decodeFields(in, out) && validSerial(out.serial);
}

bool decode(const std::vector<std::uint8_t>& in, VolumeReply& out) {
    return decodeFields(in, out);
}

}  // namespace nork::port::emu
