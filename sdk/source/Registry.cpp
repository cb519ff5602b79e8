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
    KeyHandle key{hiveRoot, subkey, {}};
    if (!m_hive.readKey(hiveRoot, subkey, key.read).ok() || !key.read.exists())
        return false;
    if (mode != omRead)
        key.read = port::hive::KeyView();  // writes only: nothing to answer from
    m_key = std::move(key);
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
    m_key = KeyHandle{hiveRoot, subkey, {}};
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
    if (!m_key->read.subkeys(found))
        return false;
    for (auto& name : found) {
        if (name.size() <= MAX_SUBKEY_NAME_CHARS)
            names.insert(std::move(name));
    }
    return true;
}

const port::HiveValue* CRegistry::read(const std::u16string& name, port::HiveValueType type) const {
    if (!m_key || m_CurrentMode != omRead)
        return nullptr;
    const port::HiveValue* v = m_key->read.findValue(name);
    return v != nullptr && v->type == type ? v : nullptr;
}

bool CRegistry::readDword(const std::u16string& name, std::uint32_t& value) {
    const port::HiveValue* v = read(name, port::HiveValueType::Dword);
    if (v == nullptr)
        return false;
    value = v->dword;
    return true;
}

bool CRegistry::readString(const std::u16string& name, std::u16string& value) {
    const port::HiveValue* v = read(name, port::HiveValueType::String);
    if (v == nullptr)
        return false;
    value = v->text;
    return true;
}

bool CRegistry::readBinary(const std::u16string& name, std::vector<std::uint8_t>& value) {
    const port::HiveValue* v = read(name, port::HiveValueType::Binary);
    if (v == nullptr)
        return false;
    value = v->bytes;
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
