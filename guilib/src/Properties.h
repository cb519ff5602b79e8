// The skin document and its reader: CProperties (the process-wide store with
// its CUTXMLParser over libxml2), CSkinElement (a handle of one element) and
// CUTPropertiesReader (the typed getters over one element), plus the value
// grammars they apply. docs/skinned-dialogs.md describes the document.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "guilib/port/Graphics.h"
#include "guilib/src/Resources.h"

namespace nork::gui {

inline constexpr COLORREF SKIN_NO_COLOR = 0xFFFFFFFF;

// Resource type of the skin document.
inline constexpr std::uint16_t SKIN_RESOURCE_TYPE = 23;

// The value grammars (also what the getters apply).
namespace skin {
bool parseBool(std::u16string_view text);
std::int32_t parseInt(std::u16string_view text);
std::int32_t parseLong(std::u16string_view text);
std::uint32_t parseULong(std::u16string_view text);
COLORREF parseColor(std::u16string_view text);
LogFont parseFont(std::u16string_view text);
// The default font record of the grammar.
LogFont defaultFont();
}  // namespace skin

class CUTXMLParser;

// A copyable handle of one element of the loaded document; empty when there
// is no such element. Keeps its document alive.
class CSkinElement {
  public:
    CSkinElement() = default;
    bool empty() const { return node_ == nullptr; }
    explicit operator bool() const { return !empty(); }
    // The element's tag name (empty for an empty handle).
    std::string name() const;

    // Implementation access (the parser and the reader).
    CSkinElement(std::shared_ptr<void> document, void* node)
        : document_(std::move(document)), node_(node) {}
    void* node() const { return node_; }
    const std::shared_ptr<void>& document() const { return document_; }

  private:
    std::shared_ptr<void> document_;
    void* node_ = nullptr;
};

class CUTXMLParser {
  public:
    CUTXMLParser();
    ~CUTXMLParser();
    // Makes the document object; false (with its debug line) on failure.
    bool Init();
    // Loads the resource of that type and id as the document; false with the
    // debug lines of each failure (not found, not XML, no document element).
    bool ResLoad(const res::ResId& type, const res::ResId& id);
    // Loads the bytes as the document (ResLoad after extraction; tests, fuzzing).
    bool LoadBytes(std::span<const std::uint8_t> bytes);
    // The first node in document order the pattern selects, evaluated on the
    // context element, or on the document element when the context is empty.
    CSkinElement SelectSingleNode(const std::string& pattern, const CSkinElement& context) const;
    // The document element; empty when nothing is loaded.
    CSkinElement DocumentElement() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class CProperties {
  public:
    static CProperties& instance();
    // Loads the skin document from the program's resource (type 23); true
    // when loaded. A second load replaces the document.
    bool load(int resourceId);
    // The same from bytes (tests, fuzzing).
    bool loadBytes(std::span<const std::uint8_t> bytes);
    bool isLoaded() const { return loaded_; }
    // Tests: back to "nothing loaded".
    void unload();

    // The first element (document order) whose child ID reads the id in
    // decimal; with a context, only below it. Empty when none or not loaded.
    CSkinElement GetElementByID(int id, const CSkinElement& context = CSkinElement()) const;
    CSkinElement GetGeneral() const;
    // The text of the first element of that name anywhere below General.
    std::optional<std::u16string> GetGeneralValue(const CSkinElement& general,
                                                  std::string_view name) const;
    CUTXMLParser& parser() { return *parser_; }

  private:
    CProperties();
    std::unique_ptr<CUTXMLParser> parser_;
    bool loaded_ = false;
};

// Typed getters over the direct children of one element. Each answers true
// (given: the child exists and its text is not empty; the output written with
// the converted value, fallbacks included) or false (output untouched).
class CUTPropertiesReader {
  public:
    explicit CUTPropertiesReader(CSkinElement element) : element_(std::move(element)) {}
    bool GetBool(std::string_view name, bool& out) const;
    bool GetInt(std::string_view name, std::int32_t& out) const;
    bool GetLong(std::string_view name, std::int32_t& out) const;
    bool GetULong(std::string_view name, std::uint32_t& out) const;
    bool GetColor(std::string_view name, COLORREF& out) const;
    bool GetString(std::string_view name, std::u16string& out) const;
    bool GetFont(std::string_view name, LogFont& out) const;
    const CSkinElement& element() const { return element_; }

  private:
    std::optional<std::u16string> text(std::string_view name) const;
    CSkinElement element_;
};

}  // namespace nork::gui
