#include "USBInfoParser.h"

#include <algorithm>

#include "DeviceParams.h"

namespace nork {
namespace {

constexpr auto npos = std::u16string_view::npos;

char16_t upperAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

char16_t lowerAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string upper(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), upperAscii);
    return out;
}

std::u16string lower(std::u16string_view text) {
    std::u16string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

// Leading decimal digits as a LUN; false when there are none or the value
// is not a LUN (255 means unknown, so it is refused too).
bool leadingLun(std::u16string_view text, std::uint8_t& lun) {
    unsigned value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= u'0' && text[digits] <= u'9'; ++digits) {
        value = value * 10 + static_cast<unsigned>(text[digits] - u'0');
        if (value >= CUSBDiskInfo::UNKNOWN_LUN)
            return false;
    }
    if (digits == 0)
        return false;
    lun = static_cast<std::uint8_t>(value);
    return true;
}

// Leading hexadecimal digits as a 16-bit id; false when there are none or
// the value does not fit.
bool leadingHex16(std::u16string_view text, std::uint16_t& id) {
    unsigned value = 0;
    std::size_t digits = 0;
    for (; digits < text.size(); ++digits) {
        const char16_t c = text[digits];
        unsigned d = 0;
        if (c >= u'0' && c <= u'9')
            d = static_cast<unsigned>(c - u'0');
        else if (c >= u'a' && c <= u'f')
            d = static_cast<unsigned>(c - u'a' + 10);
        else if (c >= u'A' && c <= u'F')
            d = static_cast<unsigned>(c - u'A' + 10);
        else
            break;
        value = value * 16 + d;
        if (value > 0xFFFFu)
            return false;
    }
    if (digits == 0)
        return false;
    id = static_cast<std::uint16_t>(value);
    return true;
}

// A hexadecimal id found between a token and a terminator.
bool hexBetween(std::u16string_view text, std::u16string_view token, std::u16string_view terminator,
                std::uint16_t& id) {
    std::u16string value;
    return CUSBInfoParser::valueBetween(text, token, terminator, value) && leadingHex16(value, id);
}

}  // namespace

// ---------------------------------------------------------------------------
// CUSBInfoParser

bool CUSBInfoParser::valueBetween(std::u16string_view text, std::u16string_view token,
                                  std::u16string_view terminator, std::u16string& value) {
    const std::size_t at = text.find(token);
    if (token.empty() || at == npos)
        return false;
    const std::size_t begin = at + token.size();
    if (terminator.empty()) {
        value.assign(text.substr(begin));
        return true;
    }
    const std::size_t end = text.find(terminator, begin);
    if (end == npos)
        return false;
    value.assign(text.substr(begin, end - begin));
    return true;
}

void CUSBInfoParser::parseInterfacePath(std::u16string_view path, CUSBDiskInfo& info) {
    info.clear();
    const std::u16string up = upper(path);
    const std::size_t brace = up.rfind(u'{');
    if (brace == npos)
        return;
    // The identity fields come in this order; a missing one ends the parse
    // so that a path of another layout never yields a serial.
    if (!valueBetween(up, u"VEN_", u"&", info.vendor) ||
        !valueBetween(up, u"PROD_", u"&", info.product) ||
        !valueBetween(up, u"REV_", u"#", info.revision))
        return;

    // "...#<serial>&<lun>#{guid}": the LUN sits between the last "&" and
    // the last "#" before the brace; the serial ends at that "&".
    const std::size_t sharp = brace == 0 ? npos : up.rfind(u'#', brace - 1);
    const std::size_t amp = brace == 0 ? npos : up.rfind(u'&', brace - 1);
    if (amp == npos)
        return;
    if (sharp != npos && sharp > amp + 1)
        leadingLun(std::u16string_view(up).substr(amp + 1, sharp - amp - 1), info.lun);

    const std::u16string_view head = std::u16string_view(up).substr(0, amp);
    const std::size_t lastAmp = head.rfind(u'&');
    const std::size_t lastSharp = head.rfind(u'#');
    std::size_t start = npos;
    if (lastAmp != npos && lastSharp != npos)
        start = std::max(lastAmp, lastSharp);
    else if (lastAmp != npos)
        start = lastAmp;
    else
        start = lastSharp;
    if (start != npos)
        info.serial.assign(head.substr(start + 1));
}

void CUSBInfoParser::parseCdRomPath(std::u16string_view path, CUSBDiskInfo& info) const {
    info.clear();
    const std::u16string up = upper(path);
    if (up.find(u"#CDROM") == npos || up.find(u'{') == npos)
        return;
    parseInterfacePath(up, info);
}

std::u16string CUSBInfoParser::serialFromCdRomPath(std::u16string_view path,
                                                   std::uint8_t& lun) const {
    CUSBDiskInfo info;
    parseCdRomPath(path, info);
    lun = info.lun;
    return info.serial;
}

std::u16string CUSBInfoParser::serialFromDiskPath(std::u16string_view path,
                                                  std::uint8_t& lun) const {
    CUSBDiskInfo info;
    parseDiskPath(path, info);
    lun = info.lun;
    return info.serial;
}

char16_t CUSBInfoParser::firstLetterOf(std::uint32_t mask) {
    for (int bit = 0; bit < 26; ++bit) {
        if (((mask >> bit) & 1u) != 0)
            return static_cast<char16_t>(u'A' + bit);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// CUSBInfoExtractor

CUSBInfoExtractor::CUSBInfoExtractor(const IVolumeInventory& inventory) : m_inventory(inventory) {}

void CUSBInfoExtractor::infoForLetter(char16_t letter, CUSBDiskInfo& info) const {
    info.clear();
    if (letter == 0 || !m_inventory.available())
        return;
    const std::u16string volume = m_inventory.volumePathOfLetter(letter);
    if (volume.empty())
        return;
    if (m_inventory.driveType(letter) == DRIVE_TYPE_CDROM)
        parseCdRomPath(volume, info);
    else
        parseDiskPath(volume, info);
}

std::uint8_t CUSBInfoExtractor::getLun(char16_t letter) const {
    CUSBDiskInfo info;
    infoForLetter(letter, info);
    return info.lun;
}

void CUSBInfoExtractor::getInfo(const CDeviceParams& params, CUSBDiskInfo& info) const {
    infoForLetter(firstLetterOf(params.driveMask()), info);
}

void CUSBInfoExtractor::parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const {
    info.clear();
    if (!m_inventory.available())
        return;
    const std::u16string disk = m_inventory.diskPathOfVolume(path);
    if (!disk.empty())
        parseInterfacePath(disk, info);
}

bool CUSBInfoExtractor::getVidPid(const CDeviceParams& params, std::uint16_t& vid,
                                  std::uint16_t& pid) const {
    const char16_t letter = firstLetterOf(params.driveMask());
    if (letter == 0 || !m_inventory.available())
        return false;
    const std::u16string volume = m_inventory.volumePathOfLetter(letter);
    if (volume.empty())
        return false;
    const std::u16string usb = lower(m_inventory.usbDevicePathOfVolume(volume));
    if (usb.empty())
        return false;
    std::uint16_t v = 0;
    std::uint16_t p = 0;
    // A device path without readable ids is no answer: callers would store
    // zero ids as if they were the drive's.
    if (!hexBetween(usb, u"vid_", u"&", v) || !hexBetween(usb, u"pid_", u"#", p))
        return false;
    vid = v;
    pid = p;
    return true;
}

void CUSBInfoExtractorVista::parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const {
    info.clear();
    const std::u16string up = upper(path);
    if (up.find(u"#DISK") == npos || up.find(u'{') == npos)
        return;
    parseInterfacePath(up, info);
}

// ---------------------------------------------------------------------------
// CRegistryAnalizerImpl

CRegistryAnalizerImpl::CRegistryAnalizerImpl(const IMountedDevicesRecord& record, int platformType)
    : m_record(record), m_platformType(platformType) {}

std::u16string CRegistryAnalizerImpl::valueText(const std::vector<std::uint8_t>& data) {
    const std::size_t bytes = std::min(data.size(), MAX_VALUE_BYTES) & ~std::size_t{1};
    std::u16string text;
    for (std::size_t i = 0; i < bytes; i += 2) {
        const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

void CRegistryAnalizerImpl::infoForDriveLetter(CUSBDiskInfo& info, char16_t letter) const {
    info.clear();
    if (letter == 0)
        return;
    const std::u16string value = valueText(m_record.mountedDevice(letter));
    if (value.empty())
        return;
    if (m_record.driveType(letter) == DRIVE_TYPE_CDROM)
        parseCdRomPath(value, info);
    else
        parseDiskPath(value, info);
}

std::uint8_t CRegistryAnalizerImpl::getLun(char16_t letter) const {
    CUSBDiskInfo info;
    infoForDriveLetter(info, letter);
    return info.lun;
}

void CRegistryAnalizerImpl::getInfo(const CDeviceParams& params, CUSBDiskInfo& info) const {
    infoForDriveLetter(info, firstLetterOf(params.driveMask()));
}

void CRegistryAnalizerImpl::parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const {
    info.clear();
    const std::u16string_view cut = path.substr(0, path.find(u"&RM"));
    std::u16string prefix;
    if (!valueBetween(cut, u"RemovableMedia#", u"", prefix))
        return;
    infoFromParentIdPrefix(prefix, info);
}

void CRegistryAnalizerImpl::infoFromParentIdPrefix(std::u16string_view prefix,
                                                   CUSBDiskInfo& info) const {
    info.clear();
    // Instances without a ParentIdPrefix would match an empty prefix and
    // give some other drive's identity.
    if (prefix.empty())
        return;
    for (const CUsbStorInstance& entry : m_record.usbStorInstances()) {
        if (entry.parentIdPrefix != prefix)
            continue;
        if (!valueBetween(entry.deviceKey, u"Ven_", u"&", info.vendor) ||
            !valueBetween(entry.deviceKey, u"Prod_", u"&", info.product) ||
            !valueBetween(entry.deviceKey, u"Rev_", u"", info.revision))
            return;
        const std::size_t amp = entry.instance.rfind(u'&');
        // From this platform type on the instance name ends in "&<lun>".
        if (m_platformType >= 7 && amp != npos) {
            leadingLun(std::u16string_view(entry.instance).substr(amp + 1), info.lun);
            info.serial = entry.instance.substr(0, amp);
        } else {
            info.serial = entry.instance;
        }
        return;
    }
}

bool CRegistryAnalizerImpl::getVidPidBySerial(std::u16string_view serial, bool composite,
                                              std::uint16_t& vid, std::uint16_t& pid) const {
    if (serial.empty())
        return false;
    const std::u16string vidTok = vidToken();
    const std::u16string pidTok = pidToken();
    const std::u16string_view wanted = composite ? u"usbccgp" : u"USBSTOR";
    for (const CUsbInstance& entry : m_record.usbInstances()) {
        if (entry.instance != serial)
            continue;
        std::uint16_t v = 0;
        const bool haveVid = hexBetween(entry.deviceKey, vidTok, u"&", v);
        if (upper(entry.service) != upper(wanted))
            continue;
        std::uint16_t p = 0;
        if (!haveVid || !hexBetween(entry.deviceKey, pidTok, u"", p))
            return false;
        vid = v;
        pid = p;
        return true;
    }
    return false;
}

bool CRegistryAnalizerImpl::getVidPid(const CDeviceParams& params, std::uint16_t& vid,
                                      std::uint16_t& pid) const {
    // A drive seen only through its HID interface is the composite parent.
    const bool hidOnly = params.flags() == CDeviceParams::FLAG_HID_PRIVATE_COMMANDS;
    return getVidPidBySerial(params.serialNumber(), hidOnly, vid, pid);
}

void CRegistryAnalizerImplVista::parseDiskPath(std::u16string_view path, CUSBDiskInfo& info) const {
    info.clear();
    std::size_t index = 0;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        const std::size_t end = std::min(path.find(u'&', begin), path.size());
        const std::u16string_view token = path.substr(begin, end - begin);
        std::size_t at = npos;
        if ((at = token.find(u"Ven_")) != npos) {
            info.vendor.assign(token.substr(at + 4));
        } else if ((at = token.find(u"Prod_")) != npos) {
            info.product.assign(token.substr(at + 5));
        } else if ((at = token.find(u"Rev_")) != npos) {
            const std::u16string_view rest = token.substr(at + 4);
            const std::size_t sharp = rest.find(u'#');
            if (sharp != npos) {
                info.revision.assign(rest.substr(0, sharp));
                info.serial.assign(rest.substr(sharp + 1));
            }
        }
        if (index == 4 && !token.empty() && token[0] >= u'0' && token[0] <= u'9')
            info.lun = static_cast<std::uint8_t>(token[0] - u'0');
        ++index;
        begin = end + 1;
    }
}

}  // namespace nork
