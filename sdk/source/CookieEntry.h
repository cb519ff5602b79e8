// Cookie entries: the records of the cookie store (CookieImpl.h), each one
// chunk of type 2 in the hidden area's chunk stream (HAChunk.h).
//
// Body after the 4-byte chunk header:
//   u8 kind (1 integer, 2 string, 3 binary; 0 only in searches)
//   section name, UTF-8, NUL-terminated
//   key name, UTF-8, NUL-terminated (a single NUL without a key)
//   value: integer 4 bytes LE signed; string bytes + NUL; binary u32 LE n + n bytes
//
// An empty name counts as no name. Matching (stored.matches(searched)):
// a kind-0 search without a section finds every entry, a kind-0 search
// without a key every entry of the section; otherwise section, key and kind
// must be equal (kind 0 on either side accepts any kind). Names compare
// byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HAChunk.h"

namespace nork {

class CHAIniEntry : public CHAActiveChunk {
  public:
    enum Kind : std::uint8_t { KIND_ANY = 0, KIND_INT = 1, KIND_STRING = 2, KIND_BINARY = 3 };

    // A search (or delete) entry: every kind matches. Null names are empty.
    CHAIniEntry(const char* section, const char* key) : CHAIniEntry(KIND_ANY, section, key) {}

    std::unique_ptr<CHAChunk> clone() const override;
    std::uint32_t neededSize() const override;
    bool matches(const CHAChunk& other) const override;

    std::uint8_t kind() const { return m_kind; }
    const std::string& section() const { return m_section; }
    const std::string& keyName() const { return m_key; }
    // The stored value's bytes (layout by kind, see above).
    const std::vector<std::uint8_t>& value() const { return m_value; }

    // "undef", "int", "string", "binary"; "?" for other kinds.
    static const char* kindName(std::uint8_t kind);

  protected:
    CHAIniEntry(std::uint8_t kind, const char* section, const char* key);
    void setValue(std::vector<std::uint8_t> value) { m_value = std::move(value); }

    void storeBody(std::uint8_t* body, std::uint32_t length) const override;
    // Parses kind, names and value of any stored kind; false for a body that
    // is no cookie entry (no terminators, a kind above 3, a value whose
    // layout does not fit its kind).
    bool loadBody(const std::uint8_t* body, std::uint32_t length) override;

  private:
    std::uint8_t m_kind;
    std::string m_section;
    std::string m_key;
    std::vector<std::uint8_t> m_value;
};

class CHAIniIntEntry : public CHAIniEntry {
  public:
    CHAIniIntEntry(const char* section, const char* key, std::int32_t value = 0);
    std::unique_ptr<CHAChunk> clone() const override;
    std::int32_t intValue() const;
};

class CHAIniStrEntry : public CHAIniEntry {
  public:
    // A null string is stored as an empty one.
    CHAIniStrEntry(const char* section, const char* key, const char* value = nullptr);
    std::unique_ptr<CHAChunk> clone() const override;
    // Up to the first NUL.
    std::string stringValue() const;
};

class CHAIniBinEntry : public CHAIniEntry {
  public:
    CHAIniBinEntry(const char* section, const char* key, const std::uint8_t* data = nullptr,
                   std::uint32_t length = 0);
    std::unique_ptr<CHAChunk> clone() const override;
    std::uint32_t binaryLength() const;
    const std::uint8_t* binaryData() const;
};

}  // namespace nork
