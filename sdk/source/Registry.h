// A small wrapper over one open registry key (the settings hive on this
// platform), for the SDK parts that read or enumerate keys. One wrapper holds
// at most one key; open() requires it closed. A wrapper is used by one thread
// at a time. Nothing here throws.
//
// A key opened for reading is read from the hive once, when it is opened
// (that key alone: its values and subkey names, see SettingsHive::readKey);
// its values and subkeys are answered from that reading, so a program that
// reads several values of a key reads a large hive once, not once a value.
// What is written to the key meanwhile, by this process or another, is seen
// when the key is opened again. Writes go to the hive at once.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "port/SettingsHive.h"

namespace nork {

class CRegistry {
  public:
    enum OpenMode { omRead = 0, omWrite = 1, omClose = 2 };
    // Roots by index.
    static constexpr int ROOT_CLASSES_ROOT = 0;
    static constexpr int ROOT_CURRENT_USER = 1;
    static constexpr int ROOT_LOCAL_MACHINE = 2;
    static constexpr std::size_t MAX_SUBKEY_NAME_CHARS = 260;

    // Over the process-wide hive (files chosen by the environment).
    CRegistry();
    // Over a given hive, which must outlive the wrapper.
    explicit CRegistry(port::SettingsHive& hive);
    // A key still open is an assertion ("m_CurrentMode == omClose"), then closed.
    ~CRegistry();
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // Opens an existing key for reading (omRead) or writing (omWrite). False
    // when the wrapper is not closed (an assertion), the root or mode is out
    // of range, or the key does not exist.
    bool open(int root, int mode, const std::u16string& subkey);
    // Opens for writing, creating the key (and its parents) when missing.
    bool create(int root, const std::u16string& subkey);
    // Whether the key exists; does not touch the key this wrapper holds.
    bool exists(int root, const std::u16string& subkey);
    // Closes when open; the mode becomes omClose.
    void close();
    int currentMode() const { return m_CurrentMode; }

    // Adds the names of the open key's direct subkeys (at most
    // MAX_SUBKEY_NAME_CHARS characters each; longer names are skipped).
    bool enumSubkeys(std::set<std::u16string>& names);

    // Value reads need a key open for reading; false when it is not, when the
    // value is missing or when it has another type.
    bool readDword(const std::u16string& name, std::uint32_t& value);
    bool readString(const std::u16string& name, std::u16string& value);
    bool readBinary(const std::u16string& name, std::vector<std::uint8_t>& value);

    // Value writes need a key open for writing.
    bool writeDword(const std::u16string& name, std::uint32_t value);
    bool writeString(const std::u16string& name, const std::u16string& value);
    bool writeBinary(const std::u16string& name, const std::vector<std::uint8_t>& value);
    bool deleteValue(const std::u16string& name);

  private:
    struct KeyHandle {
        port::HiveRoot root;
        std::u16string path;
        port::hive::KeyView read;  // as opened (omRead)
    };

    const port::HiveValue* read(const std::u16string& name, port::HiveValueType type) const;
    bool write(const std::u16string& name, const port::HiveValue& value);

    port::SettingsHive& m_hive;
    std::optional<KeyHandle> m_key;  // empty when closed
    int m_CurrentMode = omClose;
};

}  // namespace nork
