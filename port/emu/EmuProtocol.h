// The wire protocol between the emulator daemon (qzemud) and its clients
// (the device backend for emulated paths, the qzemu CLI, tests). One
// definition serves both ends; docs/emulator-protocol.md describes the bytes.
//
// A message is a 16-byte header followed by a payload:
//   magic u32 "QZEM" | version u16 | type u16 | id u32 | payload length u32
// All integers are little-endian. A reply carries the id of its request and
// the request's type with bit 15 set, or ERROR_REPLY. Events pushed to a
// subscribed connection carry EVENT and id 0.
//
// Decoding is strict: every length is bounded, every enumerated field is
// range checked, and a payload must be consumed exactly. Each message has one
// list of its fields, which both its encoder and its decoder walk.
//
// Extensions: fields added after version 2 came out sit after a payload's
// last version-2 field and travel only when both ends know them, so clients
// built before them keep working. A DriveConfig may end with them (absent =
// the defaults); DriveInfo carries them only when its request asked for them
// (an Inspect or List request ending in INFO_EXTENDED, or a Create whose
// configuration carried the extension fields). Decoders return
// false for anything else and never read outside the buffer. Pure functions;
// callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nork::port::emu {

inline constexpr std::uint32_t PROTOCOL_MAGIC = 0x4D455A51;  // "QZEM" as bytes on the wire
inline constexpr std::uint16_t PROTOCOL_VERSION = 2;
// Header fields: magic u32, version u16, type u16, id u32, length u32.
inline constexpr std::size_t HEADER_SIZE = 4 + 2 + 2 + 4 + 4;
// Largest data phase of one SCSI command, and the largest payload.
inline constexpr std::uint32_t MAX_DATA = 16u * 1024 * 1024;
inline constexpr std::uint32_t MAX_PAYLOAD = MAX_DATA + 4096;
inline constexpr std::size_t MAX_TEXT = 4096;
inline constexpr std::size_t MAX_CDB = 16;
// A serial number in a request: 1..MAX_SERIAL bytes.
inline constexpr std::size_t MAX_SERIAL = 64;
// Domains of one DriveInfo (their LUNs are bytes).
inline constexpr std::size_t MAX_DOMAINS = 255;
inline constexpr std::size_t SENSE_SIZE = 32;
inline constexpr std::uint32_t REPLY_FLAG = 0x8000;
// Trailing byte of an Inspect or List request: reply with the extensions.
inline constexpr std::uint8_t INFO_EXTENDED = 1;

enum class MsgType : std::uint16_t {
    Ping = 0x0001,
    List = 0x0002,
    OpenLun = 0x0003,
    Scsi = 0x0004,
    Subscribe = 0x0005,
    Create = 0x0010,
    Remove = 0x0011,
    Plug = 0x0012,
    Unplug = 0x0013,
    Fault = 0x0014,
    Inspect = 0x0015,
    HidOpen = 0x0030,        // SerialRequest -> BytesReply (the report descriptor)
    HidWrite = 0x0031,       // HidWriteRequest -> empty
    HidRead = 0x0032,        // HidReadRequest -> BytesReply (whole reports; empty = none in time)
    UsbDescriptor = 0x0033,  // UsbDescriptorRequest -> BytesReply
    UsbMode = 0x0034,        // UsbModeRequest -> UsbModeRequest (the mode now)
    Volume = 0x0040,         // VolumeRequest -> VolumeReply (after the operation)
    Shutdown = 0x0020,
    Event = 0x4001,
    Error = 0xFFFF,
};

inline std::uint16_t replyType(MsgType request) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(request) | REPLY_FLAG);
}

// Reasons of an error reply.
enum class EmuErrc : std::uint16_t {
    Malformed = 1,      // the message breaks the format; the daemon closes after some
    BadVersion = 2,     // protocol version not served
    UnknownType = 3,    // no such request
    NoSuchDrive = 4,    // no drive with that serial number
    DriveExists = 5,    // create: the serial number is taken
    InvalidConfig = 6,  // create: the configuration is refused (reason in the text)
    NoSuchLun = 7,      // open: the drive is off the bus or has no such LUN
    Failed = 8,         // the daemon could not do it (state directory, ...)
    Busy = 9,           // the daemon serves its limit of clients (id 0; then it closes)
    VolumeLocked = 10,  // volume: another connection holds the volume's lock
};
const char* emuErrcName(EmuErrc code);

// The first and last value of an enumeration carried on the wire; a decoder
// refuses anything outside. Kept beside each enumeration, and checked against
// its name function by the tests.
template <class E>
struct WireRange;

struct Header {
    std::uint32_t magic = PROTOCOL_MAGIC;
    std::uint16_t version = PROTOCOL_VERSION;
    std::uint16_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t length = 0;

    friend bool operator==(const Header&, const Header&) = default;
};

// Header bytes. decodeHeader checks magic, version and the length bound; it
// fills `out` even when it fails (so an error reply can carry the id) and
// gives the reason in `why`.
void encodeHeader(const Header& header, std::uint8_t* out16);
bool decodeHeader(const std::uint8_t* in16, Header& out, EmuErrc& why);

// A whole message: header followed by the payload.
std::vector<std::uint8_t> frame(std::uint16_t type, std::uint32_t id,
                                const std::vector<std::uint8_t>& payload);

// ---- Payloads ----

// Requests that name one drive (Remove, Plug, Unplug, Inspect).
struct SerialRequest {
    std::string serial;

    friend bool operator==(const SerialRequest&, const SerialRequest&) = default;
};

// Inspect: the drive, and whether the reply carries the extension fields.
struct InspectRequest {
    std::string serial;
    bool extended = false;

    friend bool operator==(const InspectRequest&, const InspectRequest&) = default;
};

// List: empty payload, or INFO_EXTENDED.
struct ListRequest {
    bool extended = false;

    friend bool operator==(const ListRequest&, const ListRequest&) = default;
};

struct OpenLunRequest {
    std::string serial;
    std::uint8_t lun = 0;

    friend bool operator==(const OpenLunRequest&, const OpenLunRequest&) = default;
};

enum class DataDir : std::uint8_t { Out = 0, In = 1, None = 2 };
template <>
struct WireRange<DataDir> {
    static constexpr DataDir first = DataDir::Out, last = DataDir::None;
};
const char* dataDirName(DataDir dir);

struct ScsiCommand {
    std::string serial;
    std::uint8_t lun = 0;
    DataDir dir = DataDir::None;
    std::uint32_t transferLength = 0;   // data in: the host's buffer size
    std::uint32_t timeoutMs = 0;        // the host's timeout, for the record
    std::vector<std::uint8_t> cdb;      // 1..16 bytes
    std::vector<std::uint8_t> dataOut;  // only with dir Out

    friend bool operator==(const ScsiCommand&, const ScsiCommand&) = default;
};

struct ScsiAnswer {
    bool noDevice = false;  // nothing on the bus
    std::uint8_t status = 0;
    std::array<std::uint8_t, SENSE_SIZE> sense{};
    std::vector<std::uint8_t> dataIn;

    friend bool operator==(const ScsiAnswer&, const ScsiAnswer&) = default;
};

// A drive to create. Empty texts, 0 sizes and ids, and DEFAULT_DELAY take the
// drive model's defaults; an empty serial number lets the daemon choose one.
inline constexpr std::uint32_t DEFAULT_DELAY = 0xFFFFFFFF;
struct DriveConfig {
    std::string serial, vendor, product, revision, firmware, reportVendor, reportProduct;
    std::uint16_t usbVendorId = 0, usbProductId = 0;
    std::string mode;  // "qz", "disk", "zyk" or empty
    std::uint32_t flashSectors = 0;
    std::string layout;
    std::string services;  // "id:version,..."; empty = the drive's default list
    std::uint32_t reattachDelayMs = DEFAULT_DELAY;
    std::uint32_t readyDelayMs = DEFAULT_DELAY;
    bool attached = true;
    // Extension: pages of the hidden area, 0 = the drive's default. Sent
    // only when not 0; `extended` tells whether a decoded one carried it.
    std::uint16_t hiddenPages = 0;
    bool extended = false;

    friend bool operator==(const DriveConfig&, const DriveConfig&) = default;
};

struct Domain {
    std::uint8_t type = 0;
    std::uint16_t flags = 0;
    std::uint32_t firstSector = 0;
    std::uint32_t sizeSectors = 0;
    std::uint8_t lun = 255;

    friend bool operator==(const Domain&, const Domain&) = default;
};

struct Faults {
    std::uint32_t failNext = 0;
    bool hasFailCode = false;
    std::uint32_t failCode = 0;
    bool dropOnNextCommand = false;
    bool neverReattach = false;
    bool hasReattachDelay = false;
    std::uint32_t reattachDelayMs = 0;
    std::uint32_t commandDelayMs = 0;
    std::uint32_t tearWriteIn = 0;
    std::uint32_t tearKeepSectors = 0;
    bool tearThenDrop = false;
    // Extension fields.
    std::uint32_t tearPageIn = 0;
    std::uint32_t tearPageKeepBytes = 0;
    bool tearPageLost = false;

    friend bool operator==(const Faults&, const Faults&) = default;
};

enum class Bus : std::uint8_t { Detached = 0, Attaching = 1, Attached = 2 };
template <>
struct WireRange<Bus> {
    static constexpr Bus first = Bus::Detached, last = Bus::Attached;
};
const char* busName(Bus bus);

struct DriveInfo {
    std::string serial, vendor, product, revision, firmware, reportVendor, reportProduct;
    std::uint16_t usbVendorId = 0, usbProductId = 0;
    std::string mode;
    std::uint32_t flashSectors = 0;
    std::uint32_t freeSectors = 0;
    std::string layout;
    std::string services;
    std::vector<Domain> domains;
    std::uint32_t errorRegister = 0;
    Bus bus = Bus::Detached;
    bool plugged = false;
    std::uint32_t reattachDelayMs = 0;
    std::uint32_t readyDelayMs = 0;
    std::array<std::uint32_t, 3> lastDetachAttach{};
    std::uint64_t commandCount = 0;
    Faults faults;
    std::string stateDir;
    // Extension field (0 when the reply did not carry it).
    std::uint16_t hiddenPages = 0;

    std::uint8_t lunCount() const;

    friend bool operator==(const DriveInfo&, const DriveInfo&) = default;
};

enum class FaultKind : std::uint8_t {
    Clear = 0,               // every fault off
    FailNext = 1,            // count commands fail; value = device error code when flag
    Drop = 2,                // the next command unplugs the drive
    NeverReattach = 3,       // flag = on/off
    ReattachDelay = 4,       // flag = set (value ms) or back to the configured delay
    CommandDelay = 5,        // value ms added to every command
    TearWrite = 6,           // count = nth write, value = sectors kept, flag = then drop
    HidSilent = 7,           // flag = the HID interface answers nothing
    HidWrongEcho = 8,        // flag = status reports echo another operation code
    TearPage = 9,            // count = nth hidden page write, value = bytes kept, flag = lost
    WrongSessionProof = 10,  // flag = the drive's secure-session proof does not verify
};
template <>
struct WireRange<FaultKind> {
    static constexpr FaultKind first = FaultKind::Clear, last = FaultKind::WrongSessionProof;
};
const char* faultKindName(FaultKind kind);

struct FaultRequest {
    std::string serial;
    FaultKind kind = FaultKind::Clear;
    std::uint32_t count = 0;
    std::uint32_t value = 0;
    bool flag = false;

    friend bool operator==(const FaultRequest&, const FaultRequest&) = default;
};

enum class EventKind : std::uint8_t { Attached = 1, Ready = 2, Detached = 3 };
template <>
struct WireRange<EventKind> {
    static constexpr EventKind first = EventKind::Attached, last = EventKind::Detached;
};
const char* eventKindName(EventKind kind);

struct Event {
    std::string serial;
    std::uint8_t lunCount = 0;
    EventKind kind = EventKind::Attached;

    friend bool operator==(const Event&, const Event&) = default;
};

// HID interface and USB descriptors of a drive.
inline constexpr std::size_t MAX_HID_REPORT = 64;
inline constexpr std::uint32_t MAX_HID_READ = 64u * 1024;

struct HidWriteRequest {
    std::string serial;
    std::vector<std::uint8_t> report;  // 1..MAX_HID_REPORT bytes, report id first

    friend bool operator==(const HidWriteRequest&, const HidWriteRequest&) = default;
};

struct HidReadRequest {
    std::string serial;
    std::uint32_t maxBytes = 0;   // 1..MAX_HID_READ
    std::uint32_t timeoutMs = 0;  // wait for the first report; the daemon caps it

    friend bool operator==(const HidReadRequest&, const HidReadRequest&) = default;
};

// Descriptor types a UsbDescriptorRequest may ask for.
inline constexpr std::uint8_t USB_DESCRIPTOR_DEVICE = 1;
inline constexpr std::uint8_t USB_DESCRIPTOR_CONFIGURATION = 2;
inline constexpr std::uint8_t USB_DESCRIPTOR_STRING = 3;

struct UsbDescriptorRequest {
    std::string serial;
    std::uint8_t type = USB_DESCRIPTOR_STRING;
    std::uint8_t index = 0;
    std::uint16_t lang = 0;

    friend bool operator==(const UsbDescriptorRequest&, const UsbDescriptorRequest&) = default;
};

enum class UsbMode : std::uint8_t { Query = 0, DiskOnly = 1, Composite = 2 };
template <>
struct WireRange<UsbMode> {
    static constexpr UsbMode first = UsbMode::Query, last = UsbMode::Composite;
};
const char* usbModeName(UsbMode mode);
struct UsbModeRequest {
    std::string serial;
    UsbMode mode = UsbMode::Query;

    friend bool operator==(const UsbModeRequest&, const UsbModeRequest&) = default;
};

// The volume of one LUN (the directory standing for its file system). A
// lock belongs to the connection that took it and ends with it; a dismounted
// volume stays down until an Unlock or the drive's next arrival.
// Release ends the connection's lock and leaves the volume as it is (a
// handle that closes); Unlock also brings a dismounted volume back.
enum class VolumeOp : std::uint8_t { Query = 0, Lock = 1, Dismount = 2, Unlock = 3, Release = 4 };
template <>
struct WireRange<VolumeOp> {
    static constexpr VolumeOp first = VolumeOp::Query, last = VolumeOp::Release;
};
const char* volumeOpName(VolumeOp op);
struct VolumeRequest {
    std::string serial;
    std::uint8_t lun = 0;
    VolumeOp op = VolumeOp::Query;

    friend bool operator==(const VolumeRequest&, const VolumeRequest&) = default;
};
struct VolumeReply {
    bool locked = false;  // by any connection
    bool mine = false;    // by the asking connection
    bool mounted = false;

    friend bool operator==(const VolumeReply&, const VolumeReply&) = default;
};

struct BytesReply {
    std::vector<std::uint8_t> bytes;

    friend bool operator==(const BytesReply&, const BytesReply&) = default;
};

struct ErrorReply {
    EmuErrc code = EmuErrc::Failed;
    std::string message;

    friend bool operator==(const ErrorReply&, const ErrorReply&) = default;
};

std::vector<std::uint8_t> encode(const SerialRequest& m);
std::vector<std::uint8_t> encode(const OpenLunRequest& m);
std::vector<std::uint8_t> encode(const ScsiCommand& m);
std::vector<std::uint8_t> encode(const ScsiAnswer& m);
std::vector<std::uint8_t> encode(const DriveConfig& m);
std::vector<std::uint8_t> encode(const InspectRequest& m);
std::vector<std::uint8_t> encode(const ListRequest& m);
std::vector<std::uint8_t> encode(const DriveInfo& m, bool extended = false);
std::vector<std::uint8_t> encode(const std::vector<DriveInfo>& m, bool extended = false);
std::vector<std::uint8_t> encode(const FaultRequest& m);
std::vector<std::uint8_t> encode(const Event& m);
std::vector<std::uint8_t> encode(const ErrorReply& m);
std::vector<std::uint8_t> encode(const HidWriteRequest& m);
std::vector<std::uint8_t> encode(const HidReadRequest& m);
std::vector<std::uint8_t> encode(const UsbDescriptorRequest& m);
std::vector<std::uint8_t> encode(const UsbModeRequest& m);
std::vector<std::uint8_t> encode(const BytesReply& m);
std::vector<std::uint8_t> encode(const VolumeRequest& m);
std::vector<std::uint8_t> encode(const VolumeReply& m);

bool decode(const std::vector<std::uint8_t>& in, SerialRequest& out);
bool decode(const std::vector<std::uint8_t>& in, OpenLunRequest& out);
bool decode(const std::vector<std::uint8_t>& in, ScsiCommand& out);
bool decode(const std::vector<std::uint8_t>& in, ScsiAnswer& out);
bool decode(const std::vector<std::uint8_t>& in, DriveConfig& out);
bool decode(const std::vector<std::uint8_t>& in, InspectRequest& out);
bool decode(const std::vector<std::uint8_t>& in, ListRequest& out);
bool decode(const std::vector<std::uint8_t>& in, DriveInfo& out, bool extended = false);
bool decode(const std::vector<std::uint8_t>& in, std::vector<DriveInfo>& out,
            bool extended = false);
bool decode(const std::vector<std::uint8_t>& in, FaultRequest& out);
bool decode(const std::vector<std::uint8_t>& in, Event& out);
bool decode(const std::vector<std::uint8_t>& in, ErrorReply& out);
bool decode(const std::vector<std::uint8_t>& in, HidWriteRequest& out);
bool decode(const std::vector<std::uint8_t>& in, HidReadRequest& out);
bool decode(const std::vector<std::uint8_t>& in, UsbDescriptorRequest& out);
bool decode(const std::vector<std::uint8_t>& in, UsbModeRequest& out);
bool decode(const std::vector<std::uint8_t>& in, BytesReply& out);
bool decode(const std::vector<std::uint8_t>& in, VolumeRequest& out);
bool decode(const std::vector<std::uint8_t>& in, VolumeReply& out);

}  // namespace nork::port::emu
