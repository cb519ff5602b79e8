#include "DevicePath.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "DeviceParams.h"
#include "Log.h"
#include "Registry.h"
#include "SystemIdentity.h"
#include "USBInfoParser.h"

namespace nork {
namespace {

std::mutex g_queryMutex;
CDevicePath::VolumeQuery g_volumeQuery;

constexpr std::u16string_view DOS_DEVICES_PREFIX = u"\\DosDevices\\";
// Characters of the "\??\" prefix that device paths carry in the record but
// not in notifications.
constexpr std::size_t OBJECT_PREFIX_CHARS = 4;
constexpr std::size_t MAX_VALUE_DATA_BYTES = 520;
constexpr std::size_t MAX_VALUE_NAME_CHARS = 260;

std::u16string rootOf(char16_t letter) {
    return std::u16string(1, letter) + u":\\";
}

bool copyOut(std::u16string_view text, char16_t* buffer, std::uint32_t length) {
    if (buffer == nullptr || text.size() + 1 > length)
        return false;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return true;
}

char16_t upperAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool startsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (upperAscii(text[i]) != upperAscii(prefix[i]))
            return false;
    }
    return true;
}

}  // namespace

// ---- CDevicePath ----

CDevicePath::CDevicePath(std::uint32_t filter) : m_filter(filter) {}

CDevicePath::~CDevicePath() = default;

void CDevicePath::setVolumeQuery(VolumeQuery query) {
    std::lock_guard<std::mutex> guard(g_queryMutex);
    g_volumeQuery = std::move(query);
}

bool CDevicePath::acceptsLetter(std::u16string_view root, bool defaultAnswer) {
    if (m_filter == 0)
        return defaultAnswer;
    VolumeQuery query;
    {
        std::lock_guard<std::mutex> guard(g_queryMutex);
        query = g_volumeQuery;
    }
    return query && query(root) == m_filter;
}

char16_t CDevicePath::firstAcceptedLetter(std::uint32_t mask, int selector) {
    for (int index = 0; index < 26; ++index) {
        if (((mask >> index) & 1u) == 0)
            continue;
        const char16_t letter = static_cast<char16_t>(u'A' + index);
        if (acceptsLetter(rootOf(letter), selector == -1 || selector == index))
            return letter;
    }
    return 0;
}

// ---- CDevicePathWin2k ----

CDevicePathWin2k::CDevicePathWin2k(std::uint32_t filter, port::SettingsHive& hive,
                                   LetterLookup fallback)
    : CDevicePath(filter), m_hive(hive), m_fallback(std::move(fallback)) {
    if (!m_fallback) {
        m_fallback = [](std::u16string_view fragment) {
            return CPortVolumeInventory().letterOfPathFragment(fragment);
        };
    }
}

STATUS CDevicePathWin2k::getPath(const CDeviceParams& params, char16_t* buffer,
                                 std::uint32_t length, int selector) {
    const std::uint32_t mask = params.driveMask() & 0x03FFFFFFu;
    if (mask == 0)
        return STATUS_PATH_ERROR;
    if (buffer == nullptr || length < 7)
        return STATUS_BUFFER_TOO_SMALL;
    const char16_t letter = firstAcceptedLetter(mask, selector);
    if (letter == 0)
        return STATUS_PATH_ERROR;
    const char16_t path[] = {u'\\', u'\\', u'.', u'\\', letter, u':', u'\0'};
    std::copy(std::begin(path), std::end(path), buffer);
    return STATUS_OK;
}

STATUS CDevicePathWin2k::findDriveByInterfacePath(std::u16string_view interfacePath,
                                                  std::u16string& root) {
    std::u16string_view wanted = interfacePath;
    if (wanted.size() > OBJECT_PREFIX_CHARS)
        wanted.remove_prefix(OBJECT_PREFIX_CHARS);

    std::vector<std::pair<std::u16string, port::HiveValue>> values;
    if (!wanted.empty() && m_hive
                               .enumValues(port::HiveRoot::LocalMachine,
                                           CHiveMountedDevicesRecord::MOUNTED_DEVICES_KEY, values)
                               .ok()) {
        for (const auto& [name, value] : values) {
            // Only the drive-letter entries name a root; the volume-name
            // entries carry the same data.
            if (name.size() > MAX_VALUE_NAME_CHARS || !startsWithNoCase(name, DOS_DEVICES_PREFIX))
                continue;
            std::u16string text;
            if (value.type == port::HiveValueType::Binary) {
                std::vector<std::uint8_t> data = value.bytes;
                if (data.size() > MAX_VALUE_DATA_BYTES)
                    data.resize(MAX_VALUE_DATA_BYTES);
                text = CRegistryAnalizerImpl::valueText(data);
            } else if (value.type == port::HiveValueType::String) {
                text = value.text.substr(0, MAX_VALUE_DATA_BYTES / 2);
            }
            if (text.find(wanted) != std::u16string::npos) {
                root = name.substr(DOS_DEVICES_PREFIX.size()) + u"\\";
                return STATUS_OK;
            }
        }
    }

    const char16_t letter = wanted.empty() ? 0 : m_fallback(wanted);
    if (letter != 0) {
        root = std::u16string(1, letter) + u":\\";
        return STATUS_OK;
    }
    return STATUS_ERROR;
}

// ---- CDevicePathWin98 ----

CDevicePathWin98::CDevicePathWin98(std::uint32_t filter, port::SettingsHive& hive)
    : CDevicePath(filter), m_hive(hive) {}

STATUS CDevicePathWin98::getPath(const CDeviceParams& params, char16_t* buffer,
                                 std::uint32_t length, int selector) {
    const char16_t letter = firstAcceptedLetter(params.driveMask() & 0x03FFFFFFu, selector);
    if (buffer == nullptr || length < 128)
        return STATUS_BUFFER_TOO_SMALL;
    if (letter == 0)
        return STATUS_PATH_ERROR;

    CRegistry registry(m_hive);
    std::set<std::u16string> nodes;
    if (registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, u"Config Manager\\Enum")) {
        registry.enumSubkeys(nodes);
        registry.close();
    }
    for (const std::u16string& node : nodes) {
        std::u16string hardwareKey;
        if (!registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead,
                           u"Config Manager\\Enum\\" + node))
            continue;
        registry.readString(u"HardWareKey", hardwareKey);
        registry.close();
        if (!startsWithNoCase(hardwareKey, u"ESDI\\") && !startsWithNoCase(hardwareKey, u"SCSI\\"))
            continue;

        std::u16string letters;
        if (!registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead,
                           u"Enum\\" + hardwareKey))
            continue;
        registry.readString(u"CurrentDriveLetterAssignment", letters);
        registry.close();
        if (std::none_of(letters.begin(), letters.end(),
                         [letter](char16_t c) { return upperAscii(c) == letter; }))
            continue;

        // The hardware key is "<bus>\<device id>\<instance>": the two
        // identity fields are the device id (17 characters) and the instance
        // (16).
        const std::size_t first = hardwareKey.find(u'\\');
        const std::size_t second = hardwareKey.find(u'\\', first + 1);
        if (second == std::u16string::npos)
            continue;
        const std::u16string device =
            hardwareKey.substr(first + 1, std::min<std::size_t>(second - first - 1, 17));
        const std::u16string instance = hardwareKey.substr(second + 1, 16);
        std::u16string symbolicName;
        for (const std::u16string& key : {u"Enum\\USB\\" + device + u"\\" + instance,
                                          u"Software\\Trivanta\\" + device + u"\\" + instance}) {
            if (registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, key)) {
                const bool found = registry.readString(u"SymbolicName", symbolicName);
                registry.close();
                if (found)
                    break;
            }
        }
        if (symbolicName.empty())
            continue;
        return copyOut(symbolicName, buffer, length) ? STATUS_OK : STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_PATH_ERROR;
}

// ---- CDevicePathWinMe ----

STATUS CDevicePathWinMe::getPath(const CDeviceParams& /*params*/, char16_t* buffer,
                                 std::uint32_t length, int /*selector*/) {
    if (buffer != nullptr && length > 0)
        buffer[0] = u'\0';
    return STATUS_OK;
}

}  // namespace nork
