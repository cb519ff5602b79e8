#include "guilib/src/Resources.h"

#include "guilib/src/ResourceText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <list>
#include <mutex>

namespace nork::gui::res {

namespace {

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

struct Stored {
    ResId type;
    ResId name;
    std::uint16_t language;
    const std::uint8_t* data;
    std::size_t size;
    bool added;
};

struct Registry {
    std::mutex mutex;
    std::vector<Stored> entries;
    std::list<std::vector<std::uint8_t>> copies;  // bytes of addResourceCopy, stable addresses
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every static user
    return *r;
}

}  // namespace

ResId::ResId(const char* text) : ResId(std::string(text ? text : "")) {}

ResId::ResId(const std::string& text) {
    // "#123" is the number 123; anything else is a name.
    if (text.size() > 1 && text[0] == '#') {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(text.data() + 1, text.data() + text.size(), value);
        if (ec == std::errc() && end == text.data() + text.size() && value <= 0xFFFF) {
            number_ = static_cast<std::uint16_t>(value);
            return;
        }
    }
    text_ = upper(text);
    if (text_.empty())
        text_ = "#";  // an empty name never matches a number
}

void registerResources(const ResourceEntry* entries, std::size_t count) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (std::size_t i = 0; i < count; ++i)
        r.entries.push_back({ResId(entries[i].type), ResId(entries[i].name), entries[i].language,
                             entries[i].data, entries[i].size, false});
}

std::optional<std::span<const std::uint8_t>> findResource(const ResId& type, const ResId& name,
                                                          std::uint16_t language) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const Stored& e : r.entries) {
        if (e.type == type && e.name == name && (language == 0 || e.language == language))
            return std::span<const std::uint8_t>(e.data, e.size);
    }
    return std::nullopt;
}

std::vector<std::uint16_t> resourceLanguages(const ResId& type, const ResId& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::uint16_t> out;
    for (const Stored& e : r.entries)
        if (e.type == type && e.name == name &&
            std::find(out.begin(), out.end(), e.language) == out.end())
            out.push_back(e.language);
    return out;
}

void addResourceCopy(const ResId& type, const ResId& name, std::uint16_t language,
                     std::span<const std::uint8_t> bytes) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto& copy = r.copies.emplace_back(bytes.begin(), bytes.end());
    // A test's resource comes before the program's of the same key; added
    // ones keep the order they were added in (languages are listed in it).
    auto at =
        std::find_if(r.entries.begin(), r.entries.end(), [](const Stored& e) { return !e.added; });
    r.entries.insert(at, {type, name, language, copy.data(), copy.size(), true});
}

std::vector<std::uint8_t> encodeStringBlock(const std::map<int, std::u16string>& strings,
                                            std::uint16_t block) {
    return text::encodeBlock(strings, block);
}

void addStringTableCopy(std::uint16_t language, const std::map<int, std::u16string>& strings) {
    for (std::uint16_t block : text::blocksOf(strings))
        addResourceCopy(ResId(RT_STRING), ResId(block), language,
                        text::encodeBlock(strings, block));
}

void removeAddedResources() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.entries, [](const Stored& e) { return e.added; });
    r.copies.clear();
}

}  // namespace nork::gui::res
