// Text conversions between the library's wide (UTF-16) text and the forms the
// drive, the hidden area and the logs need: the ANSI code page (UTF-8 here),
// strict UTF-8, the 16-byte MD5 password form and the 16-byte Zyk password
// field. A convertor converts once, on construction, and keeps the result
// with a STATUS that callers test before they use the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Status.h"

namespace nork {

// Code-page functions. Every caller passes code page 0 (the ANSI code page);
// a failed conversion is an empty string.
std::string wideToMultiString(std::u16string_view wide, unsigned codePage);
std::u16string multiToWideString(std::string_view narrow, unsigned codePage);

// ---- conversion policies --------------------------------------------------
// A policy owns the output storage; `convert` fills it and answers a status.

class WideToMulti {
  public:
    using input_type = std::u16string_view;
    using char_type = char;

  protected:
    STATUS convert(std::u16string_view in);
    const char* storage() const { return m_text.c_str(); }
    std::size_t storageSize() const { return m_text.size(); }

  private:
    std::string m_text;
};

class MultiToWide {
  public:
    using input_type = std::string_view;
    using char_type = char16_t;

  protected:
    STATUS convert(std::string_view in);
    const char16_t* storage() const { return m_text.c_str(); }
    std::size_t storageSize() const { return m_text.size(); }

  private:
    std::u16string m_text;
};

template <class Source, class Target, class StatusT>
class TUTFConversionPolicy;

// UTF-16 -> UTF-8, strict.
template <>
class TUTFConversionPolicy<char16_t, char, STATUS> {
  public:
    using input_type = std::u16string_view;
    using char_type = char;

  protected:
    STATUS convert(std::u16string_view in);
    const char* storage() const { return m_buffer.data(); }
    std::size_t storageSize() const { return m_buffer.size(); }

  private:
    std::vector<char> m_buffer;
};

// UTF-8 -> UTF-16, strict.
template <>
class TUTFConversionPolicy<char, char16_t, STATUS> {
  public:
    using input_type = std::string_view;
    using char_type = char16_t;

  protected:
    STATUS convert(std::string_view in);
    const char16_t* storage() const { return m_buffer.data(); }
    std::size_t storageSize() const { return m_buffer.size(); }

  private:
    std::vector<char16_t> m_buffer;
};

using UTF16ToUTF8 = TUTFConversionPolicy<char16_t, char, STATUS>;
using UTF8ToUTF16 = TUTFConversionPolicy<char, char16_t, STATUS>;

// Wide password -> MD5 digest of its UTF-16LE units including the
// terminating zero unit.
class CStringToMD5ConversionPolicy {
  public:
    using input_type = std::u16string_view;
    using char_type = std::uint8_t;
    static constexpr std::size_t DIGEST_SIZE = 16;

  protected:
    STATUS convert(std::u16string_view in);
    const std::uint8_t* storage() const { return m_digest.data(); }
    std::size_t storageSize() const { return m_digest.size(); }

  private:
    std::array<std::uint8_t, DIGEST_SIZE> m_digest{};
};

// ---- the convertor ----------------------------------------------------------

template <class Policy>
class TStringConvertor : public Policy {
  public:
    using char_type = typename Policy::char_type;

    explicit TStringConvertor(typename Policy::input_type in) : m_status(this->convert(in)) {
        const char_type* data = this->storage();
        std::size_t size = this->storageSize();
        m_end = 0;
        while (m_end < size && data[m_end] != char_type{})
            ++m_end;
    }

    const char_type* convertedData() const { return this->storage(); }
    // Length up to the first zero unit (or the whole storage without one).
    std::size_t convertedSize() const { return m_end; }
    STATUS conversionStatus() const { return m_status; }

  private:
    STATUS m_status;
    std::size_t m_end = 0;
};

// The 16-byte password field of the earlier product line: the ANSI form of
// the password, zero padded, without terminator when it fills the field.
// A longer ANSI form is cut to 16 bytes (the field cannot hold more).
class TZykPasswordConvertor : public TStringConvertor<WideToMulti> {
  public:
    static constexpr std::size_t FIELD_SIZE = 16;

    explicit TZykPasswordConvertor(std::u16string_view password);
    const char* convertedData() const { return m_field.data(); }
    std::size_t convertedSize() const { return FIELD_SIZE; }

  private:
    std::array<char, FIELD_SIZE> m_field{};
};

// ---- run-time interfaces ----------------------------------------------------

class ICharStringConvertor {
  public:
    virtual ~ICharStringConvertor() = default;
    virtual const char* convertedData() const = 0;
    virtual STATUS conversionStatus() const = 0;
    virtual std::size_t convertedSize() const = 0;
};

class IWCharStringConvertor {
  public:
    virtual ~IWCharStringConvertor() = default;
    virtual const char16_t* convertedData() const = 0;
    virtual STATUS conversionStatus() const = 0;
    virtual std::size_t convertedSize() const = 0;
};

template <class Convertor, class Interface>
class TConvertorDynamicBinding : public Interface {
  public:
    template <class Input>
    explicit TConvertorDynamicBinding(Input in) : m_convertor(in) {}

    decltype(std::declval<const Interface&>().convertedData()) convertedData() const override {
        return m_convertor.convertedData();
    }
    STATUS conversionStatus() const override { return m_convertor.conversionStatus(); }
    std::size_t convertedSize() const override { return m_convertor.convertedSize(); }

  private:
    Convertor m_convertor;
};

// Factories: a new object the caller owns, or null when memory is exhausted.
ICharStringConvertor* createMultiConvertor(std::u16string_view wide) noexcept;
IWCharStringConvertor* createWideConvertor(std::string_view narrow) noexcept;
ICharStringConvertor* createPasswordConvertor(std::u16string_view password) noexcept;

}  // namespace nork
