#include "DeviceValidators.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "PrivateCommand.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "UsbIdentitySource.h"
#include "port/Utf.h"
#include "zyk/ZykCommands.h"

namespace nork {
namespace {

constexpr int MINE = 0;
constexpr int NOT_MINE = 1;
constexpr int STOP = 2;

// Opens a closed handle for the validation and closes it again afterwards.
class ScopedOpen {
  public:
    explicit ScopedOpen(CDeviceHandle& handle) : m_handle(handle), m_opened(!handle.isOpen()) {
        if (m_opened)
            m_handle.open(m_handle.pathKind());
    }
    ~ScopedOpen() {
        if (m_opened)
            m_handle.close();
    }
    bool ok() const { return m_handle.isOpen(); }

  private:
    CDeviceHandle& m_handle;
    bool m_opened;
};

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string trimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

std::u16string wide(const std::string& text) {
    return port::utf::toUtf16(text);
}

CSCSIExec& scsi() {
    return CPlatformFactory::instance().scsiExecutor();
}

bool rawAccess() {
    return CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O);
}

// The flags bit of the enumeration path a caller's path kind stands for.
std::uint8_t nonAdminBitFor(int pathKind) {
    return pathKind == 5 ? CDeviceParams::FLAG_NON_ADMIN_PATH2 : CDeviceParams::FLAG_NON_ADMIN_PATH;
}

// The earlier line's identity table: INQUIRY vendor/product prefixes of the
// maker's own drives and its two partners' drives.
struct InquiryPair {
    const char* vendor;
    const char* product;
};
constexpr InquiryPair ZYK_INQUIRY_PAIRS[] = {
    {"Corvane", "Zyk"},
    {"Trivanta", "Zyk"},
    {"Carrykee", "Carrykeep"},
};
// REPORT ID of the earlier line (from firmware 2.7): the maker's two vendor
// texts and its earlier product name.
constexpr const char* ZYK_REPORT_VENDORS[] = {"Zyk", "Corvane"};
constexpr const char* ZYK_REPORT_PRODUCT = "ZykDisk";
// The serial number in the answer of the Zyk parameters command.
constexpr std::size_t ZYK_PARAMS_SERIAL_OFFSET = 0;
constexpr std::size_t ZYK_PARAMS_SERIAL_LENGTH = 16;

bool runZykCommand(CDeviceHandle& handle, CPrivateCommand& command) {
    CZykSCSICommand frame(command.dataBuffer(), command.dataLength(), command.opCode(),
                          command.direction(), command.lun(), command.timeout());
    frame.setParams(command.params(), command.paramsSize());
    return scsi()(handle.handle(), frame);
}

void storeIdentity(CDeviceParams& params, const CUsbIdentity& id) {
    params.setSerialNumber(id.serial);
    if (!id.vendor.empty())
        params.setVendorString(id.vendor);
    if (!id.product.empty())
        params.setProductString(id.product);
    if (params.usbVendorId() < 0 && params.usbProductId() < 0)
        params.setUsbIds(id.vendorId, id.productId);
    if (params.interfaceNumber() < 0)
        params.setInterfaceNumber(id.interfaceNumber);
}

}  // namespace

bool CQzStringIdParser::parse(const std::string& text) {
    m_valid = false;
    m_generation = -1;
    if (text.size() < 2 || text[0] != 'Q' || text[1] != 'z')
        return false;
    m_valid = true;
    // "the character after the next one": "Qz 4" -> '4'.
    if (text.size() > 3)
        m_generation = static_cast<unsigned char>(text[3]) - '0';
    return true;
}

bool CQzStringIdParser::parse(const std::u16string& text) {
    return parse(port::utf::toUtf8(text));
}

bool CQzSCSIInquiryStringIdParser::matches(const std::string& vendor, const std::string& product) {
    return startsWithNoCase(vendor, "Corvane") && startsWithNoCase(product, "Qz Pellix");
}

bool waitForReady(CDeviceHandle& handle) {
    if (!rawAccess())
        return true;
    // A drive that keeps answering "not ready" is given ten seconds.
    constexpr int MAX_TRIES = 100;
    bool ready = false;
    for (int i = 0; i < MAX_TRIES; ++i) {
        CSCSIGetReadyCommand sense;
        if (!scsi()(handle.handle(), sense))
            break;
        if (sense.isReady()) {
            ready = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    NORK_LOG(LOG_DEBUG, "CSDKUtils::WaitForReady - WaitForReady %s", ready ? u"ok" : u"failed");
    return ready;
}

int CDeviceValidatorSCSIQz::validate(CDeviceHandle& handle, CDeviceParams& params) {
    ScopedOpen open(handle);
    if (!open.ok())
        return STOP;
    if (!waitForReady(handle))
        return STOP;

    CSCSIInquiryCommand inquiry;
    const bool inquiryOk = scsi()(handle.handle(), inquiry);
    bool qz =
        inquiryOk && CQzSCSIInquiryStringIdParser::matches(inquiry.vendor(), inquiry.product());
    if (!qz) {
        CSCSIReportIdCommand reportId;
        CQzStringIdParser parser;
        qz = scsi()(handle.handle(), reportId) && parser.parse(reportId.vendorName());
    }
    if (!qz)
        return NOT_MINE;

    CUsbIdentity id;
    if (!CUsbIdentitySource::instance().identityOf(params, id)) {
        NORK_LOG(LOG_ERROR, "CDeviceValidatorSCSIQz - no serial number for %s",
                 params.storedPath(CDeviceParams::PATH_DISK));
        return NOT_MINE;
    }

    CSCSIGetReadyCommand sense;
    if (!scsi()(handle.handle(), sense))
        return STOP;

    if ((params.flags() & CDeviceParams::FLAG_NON_ADMIN_MASK) != 0 &&
        CPlatformFactory::instance().platformType() != 3 &&
        (params.flags() & nonAdminBitFor(handle.pathKind())) == 0) {
        return NOT_MINE;
    }

    storeIdentity(params, id);
    if (id.vendor.empty() && inquiryOk) {
        params.setVendorString(wide(inquiry.vendor()));
        params.setProductString(wide(inquiry.product()));
    }
    params.setVersion(CVersion());
    params.setDeviceState(STATUS_OK);
    NORK_LOG(LOG_INFO, "CDeviceValidatorSCSIQz - device %s validation ok [Version: %s]",
             params.serialNumber(), params.version().toString());
    return MINE;
}

int CDeviceValidatorSCSI::validate(CDeviceHandle& handle, CDeviceParams& params) {
    const CVersion version = params.version();
    const std::u16string text = version.toString();
    if (!text.empty() && text[0] == u'1')
        return NOT_MINE;

    ScopedOpen open(handle);
    if (!open.ok())
        return STOP;

    std::u16string serial;
    CVersion firmware = version;
    if (version < CVersion(u"2.7")) {
        CSCSIInquiryCommand inquiry;
        if (!scsi()(handle.handle(), inquiry))
            return NOT_MINE;
        const bool known = std::any_of(std::begin(ZYK_INQUIRY_PAIRS), std::end(ZYK_INQUIRY_PAIRS),
                                       [&](const InquiryPair& p) {
                                           return startsWithNoCase(inquiry.vendor(), p.vendor) &&
                                                  startsWithNoCase(inquiry.product(), p.product);
                                       });
        if (!known)
            return NOT_MINE;
        zyk::CZykGetParamsCommand paramsCommand;
        if (!runZykCommand(handle, paramsCommand))
            return NOT_MINE;
        const char* data = reinterpret_cast<const char*>(paramsCommand.dataBuffer());
        const char* begin = data + ZYK_PARAMS_SERIAL_OFFSET;
        std::string raw(begin, std::find(begin, begin + ZYK_PARAMS_SERIAL_LENGTH, '\0'));
        serial = wide(trimRight(raw));
    } else {
        CSCSIReportIdCommand reportId;
        if (!scsi()(handle.handle(), reportId))
            return NOT_MINE;
        const std::string vendor = reportId.vendorName();
        const bool makerVendor =
            std::any_of(std::begin(ZYK_REPORT_VENDORS), std::end(ZYK_REPORT_VENDORS),
                        [&](const char* v) { return vendor.rfind(v, 0) == 0; });
        if (!makerVendor || trimRight(reportId.productName()) != ZYK_REPORT_PRODUCT)
            return NOT_MINE;
        serial = wide(reportId.serialNumber());
        firmware = CVersion(wide(reportId.firmwareVersion()));
    }

    if (version >= CVersion(u"4.3")) {
        CSCSIGetReadyCommand sense;
        if (!scsi()(handle.handle(), sense))
            return STOP;
        if (handle.pathKind() == CDeviceParams::PATH_DISK && sense.isUnitAttention())
            return STOP;
    }

    params.setSerialNumber(serial);
    params.setVersion(firmware);
    params.setDeviceState(STATUS_OK);
    NORK_LOG(LOG_INFO, "CDeviceValidatorSCSI - device %s validation ok [Version: %s]",
             params.serialNumber(), params.version().toString());
    return MINE;
}

int CDeviceValidatorNonAdmin::validate(CDeviceHandle&, CDeviceParams& params) {
    CUsbIdentity id;
    if (!CUsbIdentitySource::instance().identityOf(params, id))
        return NOT_MINE;
    std::replace(id.vendor.begin(), id.vendor.end(), u'_', u' ');
    std::replace(id.product.begin(), id.product.end(), u'_', u' ');
    params.setSerialNumber(id.serial);
    params.setVendorString(id.vendor);
    params.setProductString(id.product);
    if (id.serial.size() <= 2)
        return NOT_MINE;

    // The drive's string-id descriptor decides, as the USB walk reads it.
    CQzStringIdParser parser;
    if (!parser.parse(id.stringId))
        return NOT_MINE;
    params.setComposite(id.composite);
    params.setInterfaceNumber(id.interfaceNumber);
    if (params.usbVendorId() < 0 && params.usbProductId() < 0)
        params.setUsbIds(id.vendorId, id.productId);
    params.setDeviceState(STATUS_OK);
    return MINE;
}

int CDeviceValidatorSCSIAny::validate(CDeviceHandle&, CDeviceParams& params) {
    if ((params.flags() & CDeviceParams::FLAG_NON_ADMIN_PATH) == 0)
        return NOT_MINE;
    CUsbIdentity id;
    if (!CUsbIdentitySource::instance().identityOf(params, id))
        return NOT_MINE;
    storeIdentity(params, id);
    params.setVersion(CVersion(id.revision));
    params.setDeviceState(STATUS_OK);
    NORK_LOG(LOG_INFO, "CDeviceValidatorSCSIAny - device %s validation ok", params.serialNumber());
    return MINE;
}

}  // namespace nork
