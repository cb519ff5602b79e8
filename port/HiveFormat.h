// The settings hive's text format, apart from where the text is kept: a
// parsed file (Document) with the key and value operations the hive offers,
// the parser and the writer. Pure C++: no system headers, no files, no
// locks; a backend reads the text, lets the document change and writes the
// text back in whatever way its system makes safe.
//
// The format (docs/settings.md), one item per line, UTF-8:
//
//   ; comment                         kept where it stands
//   [SOFTWARE\NORK\SDK]               a key; the lines below belong to it
//   "Logger"=dword:00000001           1 to 8 hexadecimal digits
//   "LogFilePath"="/home/me/qzlogs"   escapes \\ \" \n \r, nothing else
//   "Blob"=hex:01,02,ff               bytes; "hex:" alone is empty data
//   @="the key's default (unnamed) value"
//
// Blank lines, blanks around items and a UTF-8 byte order mark on the first
// line are ignored; CR LF line ends are read as LF. Key paths have empty
// components dropped ("\A\\B\" is "A\B"); key and value names compare
// case-insensitively and keep the case they were first written with. A key
// written twice is one key (later lines join the first block); a value name
// written twice in one key keeps its first place and the last line's data.
//
// Damaged lines: a line that cannot be read (bad escape, unterminated
// quote, bad number, invalid UTF-8, a value before any key) is skipped,
// counted, and kept verbatim where it stands, so writing the document back
// loses nothing the user typed. A key line that cannot be read takes the
// lines under it along, up to the next readable key line: they are kept and
// counted the same way but not read, so that values never land in the key
// above by mistake. Writing the document back reproduces an unchanged file
// byte for byte, except for the blank lines, which are normalised (one after
// the comments before the first key, one after each key block), and
// duplicate keys and values, which are merged as described.
//
// Cost: parsing, writing and each operation are linear in the size of the
// document (hash indexes on key paths and value names). A reader that needs
// one key reads it with KeyReader, which parses and keeps only that key's
// lines and passes over the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nork::port {

enum class HiveValueType { Dword, String, Binary };

struct HiveValue {
    HiveValueType type = HiveValueType::Dword;
    std::uint32_t dword = 0;          // when type == Dword
    std::u16string text;              // when type == String
    std::vector<std::uint8_t> bytes;  // when type == Binary

    static HiveValue ofDword(std::uint32_t v);
    static HiveValue ofString(std::u16string v);
    static HiveValue ofBinary(std::vector<std::uint8_t> v);
    bool operator==(const HiveValue& other) const;
};

namespace hive {

// The stored form of a key path: "\A\\b\" -> "A\b".
std::u16string normaliseKey(std::u16string_view key);

// Case folding used for key paths and value names.
std::u16string fold(std::u16string_view s);

// Whether text survives a trip through the file: well-formed UTF-16 and,
// for key paths (already normalised, not empty), no line break and no blank
// at either end of the path, which the key line would not keep.
bool storableText(std::u16string_view text);
bool storableKey(std::u16string_view path);

class Document {
  public:
    // The readable values of one key, in file order.
    struct Value {
        std::u16string name;  // "" = the default value
        HiveValue value;
    };

    // Lines skipped while parsing, and the 1-based number of the first one
    // (0 when none).
    std::size_t skippedLines() const { return m_skipped; }
    std::size_t firstSkippedLine() const { return m_firstSkipped; }

    // Key paths may be given in any case and with stray backslashes. The
    // empty path is the root, which always exists.
    bool keyExists(std::u16string_view key) const;
    bool hasSubkeys(std::u16string_view key) const;
    // Null when the key or the value is absent.
    const HiveValue* findValue(std::u16string_view key, std::u16string_view name) const;
    // False when the key does not exist; a key that exists only through its
    // subkeys has no values.
    bool values(std::u16string_view key, std::vector<Value>& out) const;
    // Names of the direct subkeys in their stored case, in file order; false
    // when the key does not exist.
    bool subkeys(std::u16string_view key, std::vector<std::u16string>& out) const;

    // The changes answer whether the document changed. The caller checks
    // storableKey/storableText first; text that fails them is written as is.
    // Adds the key (with its parents) unless it exists.
    bool createKey(std::u16string_view key);
    // Creates the key when needed and replaces any value of that name.
    void setValue(std::u16string_view key, std::u16string_view name, const HiveValue& value);
    bool deleteValue(std::u16string_view key, std::u16string_view name);
    // Deletes the key, its values and every key below it. The parent key
    // goes on existing even when only this key named it.
    bool deleteTree(std::u16string_view key);

  private:
    struct Line {
        bool isValue = false;
        std::u16string name;  // value name as written
        HiveValue value;
        std::string raw;  // comment or unreadable line, verbatim
    };
    struct Key {
        std::u16string path;    // normalised, stored case
        std::u16string folded;  // for comparison
        std::vector<Line> lines;
        // Lines under an unreadable key line that followed this block.
        std::vector<std::string> orphans;
        std::unordered_map<std::u16string, std::size_t> index;  // folded name -> line
    };

    friend class KeyReader;

    Key* find(const std::u16string& folded);
    const Key* find(const std::u16string& folded) const;
    Key& add(std::u16string path);
    void reindex();
    static void reindex(Key& key);
    static void setIn(Key& key, std::u16string name, std::u16string folded, HiveValue value);

    friend std::string serialise(const Document& doc);

    std::vector<std::string> m_preamble;  // raw lines before the first key
    std::vector<Key> m_keys;
    std::unordered_map<std::u16string, std::size_t> m_index;  // folded path -> key
    std::size_t m_skipped = 0;
    std::size_t m_firstSkipped = 0;
    bool m_bom = false;  // the file began with a UTF-8 byte-order mark
};

// Reads a hive file's text. Never fails: what cannot be read is skipped as
// described above. Any bytes are accepted.
Document parse(std::string_view text);

// One key of a hive file as a reader that needs nothing else sees it: its
// values, the names of its direct subkeys and whether it exists, exactly as
// the whole document would answer them. Made by KeyReader.
class KeyView {
  public:
    bool exists() const;
    // Null when the key or the value is absent.
    const HiveValue* findValue(std::u16string_view name) const;
    // False when the key does not exist (as Document::values, subkeys).
    bool values(std::vector<Document::Value>& out) const;
    bool subkeys(std::vector<std::u16string>& out) const;

    // The unreadable lines met: those of the key's own blocks, every key
    // line that cannot be read with the lines under it, and the lines above
    // the first key. The lines of other keys are not read, so not counted.
    std::size_t skippedLines() const { return m_doc.skippedLines(); }
    std::size_t firstSkippedLine() const { return m_doc.firstSkippedLine(); }

  private:
    friend class KeyReader;

    Document m_doc;        // the key's blocks and an empty key per direct subkey
    std::u16string m_key;  // normalised
};

// Reads a hive file's text for one key, in pieces of any size, so that the
// file need never be held whole: every line is scanned for its end, key
// lines are read, and only the lines of that key are parsed and kept (a
// later block of the key joins the first, as in parse()). What it keeps
// grows with the key, not with the file. The whole document is read the
// same way by parse().
class KeyReader {
  public:
    // Any case and stray backslashes, as Document takes key paths; "" is the
    // root, whose subkeys are the top-level keys.
    explicit KeyReader(std::u16string_view key);

    void feed(std::string_view bytes);
    // After the last piece.
    KeyView finish();

  private:
    friend Document parse(std::string_view text);
    struct WholeDocument {};
    explicit KeyReader(WholeDocument);

    void line(std::string_view raw);
    bool passesOverKeyLine(std::string_view text);
    bool wantsWholeLine(char firstNonBlank) const;
    void passOver(char firstNonBlank);
    void skipped(std::string_view raw);
    void keep(std::string_view raw);
    void endOfText();

    enum class Mode { LineStart, WholeLine, RestOfLine };

    Document m_doc;
    bool m_whole;          // every key, kept whole (parse)
    std::u16string m_key;  // normalised; empty for the root
    std::u16string m_folded;
    bool m_seenKey = false;     // a readable key line met
    std::size_t m_current = 0;  // the block lines go to, in m_doc's keys
    bool m_orphaned = false;    // under an unreadable key line
    bool m_otherKey = false;    // in the block of a key not read
    bool m_bomChecked = false;  // the first line's mark looked for (not by parse)
    std::size_t m_lineNo = 0;
    Mode m_mode = Mode::LineStart;
    std::string m_pending;  // the part of a line given whole so far
    // The key's components in plain ASCII (folded), each of which a key
    // line at or below it contains; m_lower is a key line folded for the
    // search.
    std::vector<std::string> m_needles;
    std::string m_lower;
};

// The file text of a document.
std::string serialise(const Document& doc);

}  // namespace hive
}  // namespace nork::port
