#include "guilib/src/Properties.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <climits>
#include <cstdio>
#include <string>

#include "guilib/src/DebugOut.h"
#include "port/Utf.h"

namespace nork::gui {

// ---------------------------------------------------------------- grammars

namespace skin {
namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Blanks, sign and leading decimal digits, as the C library's conversions
// read them. `magnitude` saturates at `limit`; `overflow` tells it did.
struct Leading {
    bool negative = false;
    std::uint64_t magnitude = 0;
    bool overflow = false;
};

Leading readLeading(std::u16string_view text, std::uint64_t limit) {
    Leading out;
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        out.negative = text[i] == u'-';
        ++i;
    }
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        out.magnitude = out.magnitude * 10 + static_cast<unsigned>(text[i] - u'0');
        if (out.magnitude > limit) {
            out.magnitude = limit;
            out.overflow = true;
        }
    }
    return out;
}

std::int32_t signedSaturating(std::u16string_view text) {
    // One more than INT_MAX on the magnitude so that INT_MIN itself reads.
    Leading v = readLeading(text, std::uint64_t(INT32_MAX) + 1);
    if (v.negative)
        return v.magnitude > std::uint64_t(INT32_MAX) ? INT32_MIN
                                                      : -static_cast<std::int32_t>(v.magnitude);
    return v.magnitude > std::uint64_t(INT32_MAX) ? INT32_MAX
                                                  : static_cast<std::int32_t>(v.magnitude);
}

// Cuts the text at its first n - 1 commas; the last field keeps the rest
// (commas included). False when there are fewer fields or one is empty.
template <std::size_t N>
bool splitFields(std::u16string_view text, std::u16string_view (&fields)[N]) {
    for (std::size_t i = 0; i + 1 < N; ++i) {
        std::size_t comma = text.find(u',');
        if (comma == std::u16string_view::npos)
            return false;
        fields[i] = text.substr(0, comma);
        text.remove_prefix(comma + 1);
    }
    fields[N - 1] = text;
    for (auto& f : fields)
        if (f.empty())
            return false;
    return true;
}

}  // namespace

bool parseBool(std::u16string_view text) {
    // Only a leading "0" is false: "false" reads as true.
    return text.empty() || text.front() != u'0';
}

std::int32_t parseInt(std::u16string_view text) {
    return signedSaturating(text);
}

std::int32_t parseLong(std::u16string_view text) {
    return signedSaturating(text);
}

std::uint32_t parseULong(std::u16string_view text) {
    // As strtoul: a leading "-" negates the value in unsigned arithmetic;
    // out of range gives the maximum whatever the sign.
    Leading v = readLeading(text, UINT32_MAX);
    if (v.overflow)
        return UINT32_MAX;
    auto value = static_cast<std::uint32_t>(v.magnitude);
    return v.negative ? 0u - value : value;
}

COLORREF parseColor(std::u16string_view text) {
    std::u16string_view f[3];
    if (!splitFields(text, f))
        return SKIN_NO_COLOR;
    auto byte = [](std::u16string_view field) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(parseInt(field)));
    };
    return byte(f[0]) | (byte(f[1]) << 8) | (byte(f[2]) << 16);
}

LogFont defaultFont() {
    return LogFont{};
}

LogFont parseFont(std::u16string_view text) {
    LogFont font = defaultFont();
    std::u16string_view f[5];
    if (!splitFields(text, f))
        return font;
    // The record holds at most 31 units of face name: a longer name is cut,
    // not refused, so the font still resolves by its leading part.
    std::u16string_view face = f[0].substr(0, 31);
    if (face.size() == 31 && f[0].size() > 31 && face.back() >= 0xD800 && face.back() <= 0xDBFF)
        face.remove_suffix(1);  // never keep half of a surrogate pair
    font.faceName = std::u16string(face);
    font.height = parseInt(f[1]);
    font.weight = parseInt(f[2]) != 0 ? 700 : 400;
    font.underline = parseInt(f[3]) != 0 ? 1 : 0;
    font.italic = parseInt(f[4]) != 0 ? 1 : 0;
    return font;
}

}  // namespace skin

// ---------------------------------------------------------------- element

std::string CSkinElement::name() const {
    if (!node_)
        return {};
    auto* node = static_cast<xmlNodePtr>(node_);
    return node->name ? reinterpret_cast<const char*>(node->name) : "";
}

// ---------------------------------------------------------------- parser

namespace {

// libxml2 reports through a per-thread handler; ours keeps the last error so
// that nothing reaches stderr and the load can report reason and position.
struct LastXmlError {
    std::string message;
    long line = 0;
    long column = 0;
    bool set = false;
};

thread_local LastXmlError tlsLastError;

void recordXmlError(void*, xmlErrorPtr error) {
    if (!error)
        return;
    tlsLastError.set = true;
    tlsLastError.message = error->message ? error->message : "";
    tlsLastError.line = error->line;
    tlsLastError.column = error->int2;
}

void quietLibxml() {
    xmlSetStructuredErrorFunc(nullptr, recordXmlError);
    tlsLastError = LastXmlError{};
}

std::u16string nodeText(xmlNodePtr node) {
    xmlChar* content = xmlNodeGetContent(node);
    if (!content)
        return {};
    std::u16string out = port::utf::toUtf16(reinterpret_cast<const char*>(content));
    xmlFree(content);
    return out;
}

}  // namespace

struct CUTXMLParser::Impl {
    bool initialised = false;
    std::shared_ptr<void> document;  // xmlDoc, freed with the last handle
    xmlNodePtr root = nullptr;
};

CUTXMLParser::CUTXMLParser() : impl_(std::make_unique<Impl>()) {}
CUTXMLParser::~CUTXMLParser() = default;

bool CUTXMLParser::Init() {
    xmlInitParser();
    quietLibxml();
    impl_->initialised = true;
    return true;
}

bool CUTXMLParser::ResLoad(const res::ResId& type, const res::ResId& id) {
    if (!impl_->initialised && !Init())
        return false;
    impl_->document.reset();
    impl_->root = nullptr;
    auto bytes = res::findResource(type, id);
    if (!bytes) {
        QZ_GUI_ERROR("FindResource - fail");
        QZ_GUI_ERROR("CUTXMLParser::ResLoad fail to extract data!");
        return false;
    }
    return LoadBytes(*bytes);
}

bool CUTXMLParser::LoadBytes(std::span<const std::uint8_t> bytes) {
    if (!impl_->initialised && !Init())
        return false;
    impl_->document.reset();
    impl_->root = nullptr;
    quietLibxml();
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        QZ_GUI_ERROR("Create Stream fail");
        return false;
    }
    // No network, no entity expansion, no external DTD: the document is data.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr doc = xmlReadMemory(reinterpret_cast<const char*>(bytes.data()),
                                  static_cast<int>(bytes.size()), nullptr, nullptr, options);
    if (!doc) {
        std::string reason = tlsLastError.message;
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        QZ_GUI_ERROR("\nResLoad - XML Document FAILED to load!");
        char line[64];
        std::snprintf(line, sizeof line, " (Line : %ld; Char : %ld)\n\n", tlsLastError.line,
                      tlsLastError.column);
        debugText("XML Error: " + reason + line);
        return false;
    }
    std::shared_ptr<void> owner(doc, [](void* d) { xmlFreeDoc(static_cast<xmlDocPtr>(d)); });
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (!root) {
        QZ_GUI_ERROR("documentElement - FAILED!");
        return false;
    }
    impl_->document = std::move(owner);
    impl_->root = root;
    return true;
}

CSkinElement CUTXMLParser::DocumentElement() const {
    if (!impl_->root)
        return {};
    return CSkinElement(impl_->document, impl_->root);
}

CSkinElement CUTXMLParser::SelectSingleNode(const std::string& pattern,
                                            const CSkinElement& context) const {
    // A context from another (replaced) document still works: the handle
    // keeps its own document alive.
    CSkinElement base = context.empty() ? DocumentElement() : context;
    if (base.empty())
        return {};
    auto* node = static_cast<xmlNodePtr>(base.node());
    quietLibxml();
    xmlXPathContextPtr xpath = xmlXPathNewContext(node->doc);
    if (!xpath) {
        QZ_GUI_ERROR("Com Exception\n");
        return {};
    }
    xpath->node = node;
    xmlXPathObjectPtr result =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(pattern.c_str()), xpath);
    CSkinElement found;
    if (!result) {
        QZ_GUI_ERROR("Com Exception\n");
    } else if (result->type == XPATH_NODESET && result->nodesetval) {
        // The first match in document order, whatever order the set is in.
        xmlNodePtr first = nullptr;
        for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
            xmlNodePtr n = result->nodesetval->nodeTab[i];
            if (n && n->type == XML_ELEMENT_NODE && (!first || xmlXPathCmpNodes(n, first) == 1))
                first = n;
        }
        if (first)
            found = CSkinElement(base.document(), first);
    }
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(xpath);
    return found;
}

// ---------------------------------------------------------------- store

CProperties::CProperties() : parser_(std::make_unique<CUTXMLParser>()) {
    parser_->Init();
}

CProperties& CProperties::instance() {
    static CProperties* store = new CProperties;  // lives until the process ends
    return *store;
}

bool CProperties::load(int resourceId) {
    if (resourceId < 0 || resourceId > 0xFFFF) {
        QZ_GUI_ERROR("FindResource - fail");
        QZ_GUI_ERROR("CUTXMLParser::ResLoad fail to extract data!");
        loaded_ = false;
        return false;
    }
    loaded_ = parser_->ResLoad(res::ResId(SKIN_RESOURCE_TYPE),
                               res::ResId(static_cast<std::uint16_t>(resourceId)));
    return loaded_;
}

bool CProperties::loadBytes(std::span<const std::uint8_t> bytes) {
    loaded_ = parser_->LoadBytes(bytes);
    return loaded_;
}

void CProperties::unload() {
    loaded_ = false;
}

CSkinElement CProperties::GetElementByID(int id, const CSkinElement& context) const {
    if (!loaded_)
        return {};
    // A text comparison with the decimal id: "0200" is not 200.
    std::string pattern = context.empty() ? "//*" : ".//*";
    pattern += "[ID=\"" + std::to_string(id) + "\"]";
    return parser_->SelectSingleNode(pattern, context);
}

CSkinElement CProperties::GetGeneral() const {
    if (!loaded_)
        return {};
    return parser_->SelectSingleNode("//General", CSkinElement());
}

std::optional<std::u16string> CProperties::GetGeneralValue(const CSkinElement& general,
                                                           std::string_view name) const {
    if (!loaded_ || general.empty() || name.empty())
        return std::nullopt;
    // The name goes into the path: only a plain element name is accepted.
    for (char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-' || c == '.';
        if (!plain)
            return std::nullopt;
    }
    if (name.front() >= '0' && name.front() <= '9')
        return std::nullopt;
    CSkinElement found = parser_->SelectSingleNode(".//" + std::string(name), general);
    if (found.empty())
        return std::nullopt;
    return nodeText(static_cast<xmlNodePtr>(found.node()));
}

// ---------------------------------------------------------------- reader

std::optional<std::u16string> CUTPropertiesReader::text(std::string_view name) const {
    if (element_.empty())
        return std::nullopt;
    auto* node = static_cast<xmlNodePtr>(element_.node());
    for (xmlNodePtr child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || !child->name)
            continue;
        if (std::string_view(reinterpret_cast<const char*>(child->name)) != name)
            continue;
        std::u16string value = nodeText(child);
        if (value.empty())
            return std::nullopt;  // an empty element is "not given"
        return value;
    }
    return std::nullopt;
}

bool CUTPropertiesReader::GetBool(std::string_view name, bool& out) const {
    auto t = text(name);
    if (t)
        out = skin::parseBool(*t);
    return t.has_value();
}

bool CUTPropertiesReader::GetInt(std::string_view name, std::int32_t& out) const {
    auto t = text(name);
    if (t)
        out = skin::parseInt(*t);
    return t.has_value();
}

bool CUTPropertiesReader::GetLong(std::string_view name, std::int32_t& out) const {
    auto t = text(name);
    if (t)
        out = skin::parseLong(*t);
    return t.has_value();
}

bool CUTPropertiesReader::GetULong(std::string_view name, std::uint32_t& out) const {
    auto t = text(name);
    if (t)
        out = skin::parseULong(*t);
    return t.has_value();
}

bool CUTPropertiesReader::GetColor(std::string_view name, COLORREF& out) const {
    auto t = text(name);
    if (t)
        out = skin::parseColor(*t);
    return t.has_value();
}

bool CUTPropertiesReader::GetString(std::string_view name, std::u16string& out) const {
    auto t = text(name);
    if (t)
        out = std::move(*t);
    return t.has_value();
}

bool CUTPropertiesReader::GetFont(std::string_view name, LogFont& out) const {
    auto t = text(name);
    if (t)
        out = skin::parseFont(*t);
    return t.has_value();
}

}  // namespace nork::gui
