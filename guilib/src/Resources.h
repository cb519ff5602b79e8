// The program's resources: skin document, string tables, pictures, bitmaps
// and icons compiled into the program (guilib/tools/rescomp and the CMake
// function qz_add_resources; docs/skinned-dialogs.md gives the formats).
//
// A resource is found by type and name, each a number or a text, and by
// language (0 = neutral). Numbers and texts are kept apart as the Windows
// resource names are: the number 600 and the text "#600" are the same name
// (the "#" form of a number), "GIF" is a text.
//
// Threads: registration happens before main (static initialisation of the
// generated sources); lookups from any thread afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nork::gui::res {

// Numeric resource types used here.
inline constexpr std::uint16_t RT_BITMAP = 2;
inline constexpr std::uint16_t RT_STRING = 6;
inline constexpr std::uint16_t RT_GROUP_ICON = 14;
inline constexpr std::uint16_t RT_HTML = 23;

// A type or a name: a number, or a text (upper-cased when stored and
// compared, as resource names are). The text "#123" is the number 123.
class ResId {
  public:
    ResId(std::uint16_t number) : number_(number) {}  // NOLINT: implicit as in the API
    ResId(const char* text);                          // NOLINT
    ResId(const std::string& text);                   // NOLINT
    bool isNumber() const { return text_.empty(); }
    std::uint16_t number() const { return number_; }
    const std::string& text() const { return text_; }
    bool operator==(const ResId&) const = default;

  private:
    std::uint16_t number_ = 0;
    std::string text_;
};

struct ResourceEntry {
    const char* type;  // "#23", "GIF", ...
    const char* name;  // "#600", ...
    std::uint16_t language;
    const std::uint8_t* data;
    std::size_t size;
};

// Called by the generated sources (one table per resource set).
void registerResources(const ResourceEntry* entries, std::size_t count);

// The bytes of the resource in that language; language 0 takes the first
// registered language of that type and name. nullopt when there is none.
std::optional<std::span<const std::uint8_t>> findResource(const ResId& type, const ResId& name,
                                                          std::uint16_t language = 0);
// The languages the resource exists in, in registration order.
std::vector<std::uint16_t> resourceLanguages(const ResId& type, const ResId& name);

// Tests: resources added at run time (the bytes are copied and kept for the
// process), so a test can build a skin or a picture it needs.
void addResourceCopy(const ResId& type, const ResId& name, std::uint16_t language,
                     std::span<const std::uint8_t> bytes);
// The string-table block `block` (type RT_STRING, name block): the strings
// with ids (block - 1) * 16 to block * 16 - 1, 16 entries each a 16-bit
// little-endian length and that many UTF-16LE units (missing ids empty).
std::vector<std::uint8_t> encodeStringBlock(const std::map<int, std::u16string>& strings,
                                            std::uint16_t block);

// Tests: a string table in that language, added as its RT_STRING blocks
// with addResourceCopy (ids outside 0 to 65535 are ignored).
void addStringTableCopy(std::uint16_t language, const std::map<int, std::u16string>& strings);

// Tests: removes the resources added with addResourceCopy.
void removeAddedResources();

}  // namespace nork::gui::res
