// Fuzz target of the skin document reader and the value grammars: any bytes
// load or fail without fault, every lookup and getter on what loaded answers,
// and the grammars keep their ranges. The same bytes also go through the
// string-table reader, whose blocks must read back what was parsed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "guilib/src/Properties.h"
#include "guilib/src/ResourceText.h"
#include "guilib/src/SkinNames.h"

namespace {

using namespace nork::gui;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "skin fuzz: %s\n", what);
    std::abort();
}

void checkValue(std::u16string_view text) {
    COLORREF colour = skin::parseColor(text);
    if (colour != SKIN_NO_COLOR && colour > 0xFFFFFF)
        fail("a colour beyond 24 bits");
    LogFont font = skin::parseFont(text);
    if (font.faceName.size() > 31)
        fail("a face name longer than 31 units");
    if (font.weight != 400 && font.weight != 700)
        fail("a weight other than 400 or 700");
    (void)skin::parseBool(text);
    (void)skin::parseInt(text);
    (void)skin::parseULong(text);
}

void readAll(const CSkinElement& element) {
    CUTPropertiesReader reader(element);
    for (std::string_view name : skin::kPropertyNames) {
        std::u16string s;
        if (reader.GetString(name, s)) {
            if (s.empty())
                fail("an empty text counted as given");
            checkValue(s);
        }
        LogFont font;
        reader.GetFont(name, font);
    }
    std::u16string s;
    reader.GetString("ID", s);
}

void walkSkin(std::span<const std::uint8_t> bytes) {
    CProperties& p = CProperties::instance();
    if (!p.loadBytes(bytes))
        return;
    for (int id : {0, 1, 200, 1000, 7000, -1}) {
        CSkinElement e = p.GetElementByID(id);
        readAll(e);
        if (!e.empty())
            readAll(p.GetElementByID(1000, e));
    }
    CSkinElement general = p.GetGeneral();
    readAll(general);
    for (const char* key : {"AllowedVen", "RunWin2kGuest", "ID"})
        (void)p.GetGeneralValue(general, key);
    readAll(p.parser().DocumentElement());
}

void walkStrings(std::string_view text) {
    std::map<int, std::u16string> table;
    std::string error;
    if (!res::text::parseStringTable(text, table, error)) {
        if (error.rfind("line ", 0) != 0)
            fail("a string-table error without its line");
        return;
    }
    for (std::uint16_t block : res::text::blocksOf(table)) {
        auto bytes = res::text::encodeBlock(table, block);
        for (int i = 0; i < 16; ++i) {
            int id = (block - 1) * 16 + i;
            auto it = table.find(id);
            std::u16string expected = it == table.end() ? std::u16string() : it->second;
            if (res::text::blockEntry(bytes.data(), bytes.size(), i) != expected)
                fail("a string block does not read back");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    walkSkin(std::span<const std::uint8_t>(data, size));
    // The bytes as UTF-16 text for the grammars (odd last byte dropped).
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i + 1 < size; i += 2)
        units[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    checkValue(units);
    checkValue(std::u16string(data, data + size));
    walkStrings(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
