#include "Registry.h"

#include "Log.h"

namespace nork {
namespace {

bool toRoot(int index, port::HiveRoot& root) {
    if (index < 0 || index >= port::HIVE_ROOT_COUNT)
        return false;
    root = static_cast<port::HiveRoot>(index);
    return true;
}

}  // namespace

CRegistry::CRegistry() : m_hive(port::SettingsHive::processDefault()) {}

CRegistry::CRegistry(port::SettingsHive& hive) : m_hive(hive) {}

CRegistry::~CRegistry() {
    zyk_assert(m_CurrentMode == omClose, "m_CurrentMode == omClose");
    close();
}

bool CRegistry::open(int root, int mode, const std::u16string& subkey) {
    zyk_assert(m_CurrentMode == omClose, "m_CurrentMode == omClose");
    if (m_CurrentMode != omClose)
        return false;
    port::HiveRoot hiveRoot;
    if (!toRoot(root, hiveRoot) || (mode != omRead && mode != omWrite))
        return false;
    bool found = false;
    if (!m_hive.keyExists(hiveRoot, subkey, found).ok() || !found)
        return false;
    m_key = KeyHandle{hiveRoot, subkey};
    m_CurrentMode = mode;
    return true;
}

bool CRegistry::create(int root, const std::u16string& subkey) {
    zyk_assert(m_CurrentMode == omClose, "m_CurrentMode == omClose");
    if (m_CurrentMode != omClose)
        return false;
    port::HiveRoot hiveRoot;
    if (!toRoot(root, hiveRoot) || !m_hive.createKey(hiveRoot, subkey).ok())
        return false;
    m_key = KeyHandle{hiveRoot, subkey};
    m_CurrentMode = omWrite;
    return true;
}

bool CRegistry::exists(int root, const std::u16string& subkey) {
    port::HiveRoot hiveRoot;
    bool found = false;
    return toRoot(root, hiveRoot) && m_hive.keyExists(hiveRoot, subkey, found).ok() && found;
}

void CRegistry::close() {
    m_key.reset();
    m_CurrentMode = omClose;
}

bool CRegistry::enumSubkeys(std::set<std::u16string>& names) {
    if (!m_key || m_CurrentMode != omRead)
        return false;
    std::vector<std::u16string> found;
    if (!m_hive.enumSubkeys(m_key->root, m_key->path, found).ok())
        return false;
    for (auto& name : found) {
        if (name.size() <= MAX_SUBKEY_NAME_CHARS)
            names.insert(std::move(name));
    }
    return true;
}

bool CRegistry::read(const std::u16string& name, port::HiveValueType type, port::HiveValue& out) {
    if (!m_key || m_CurrentMode != omRead)
        return false;
    return m_hive.readValue(m_key->root, m_key->path, name, out).ok() && out.type == type;
}

bool CRegistry::readDword(const std::u16string& name, std::uint32_t& value) {
    port::HiveValue v;
    if (!read(name, port::HiveValueType::Dword, v))
        return false;
    value = v.dword;
    return true;
}

bool CRegistry::readString(const std::u16string& name, std::u16string& value) {
    port::HiveValue v;
    if (!read(name, port::HiveValueType::String, v))
        return false;
    value = std::move(v.text);
    return true;
}

bool CRegistry::readBinary(const std::u16string& name, std::vector<std::uint8_t>& value) {
    port::HiveValue v;
    if (!read(name, port::HiveValueType::Binary, v))
        return false;
    value = std::move(v.bytes);
    return true;
}

bool CRegistry::write(const std::u16string& name, const port::HiveValue& value) {
    if (!m_key || m_CurrentMode != omWrite)
        return false;
    return m_hive.writeValue(m_key->root, m_key->path, name, value).ok();
}

bool CRegistry::writeDword(const std::u16string& name, std::uint32_t value) {
    return write(name, port::HiveValue::ofDword(value));
}

bool CRegistry::writeString(const std::u16string& name, const std::u16string& value) {
    return write(name, port::HiveValue::ofString(value));
}

bool CRegistry::writeBinary(const std::u16string& name, const std::vector<std::uint8_t>& value) {
    return write(name, port::HiveValue::ofBinary(value));
}

bool CRegistry::deleteValue(const std::u16string& name) {
    if (!m_key || m_CurrentMode != omWrite)
        return false;
    return m_hive.deleteValue(m_key->root, m_key->path, name).ok();
}

}  // namespace nork
