// Languages of the user interface: the Windows language ids (LANGIDs) of the
// program's string tables, and the POSIX locales they stand for. One table
// maps the ids of the program's languages and their regional variants to
// locale names and back (docs/languages.md lists it).
//
// The user's and the system's default language and the installed languages
// come from the environment, the system's locale setting and the generated
// locales; tests override each with the setters below.
//
// Threads: any; the overrides are guarded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nork::port {

// The LANGID of a POSIX locale name ("de_CH.UTF-8", "sr_RS@latin", "de");
// codeset ignored; a bare language gives its main variant; 0 when unknown
// ("C", "POSIX", a region the table does not hold).
std::uint16_t languageForLocale(std::string_view locale);
// The locale name of a LANGID ("de_CH"); empty when the table lacks it.
std::string localeForLanguage(std::uint16_t languageId);

// The first set (non-empty) of LC_ALL, LC_MESSAGES and LANG, as a LANGID
// (0 when none is set or it is unknown).
std::uint16_t userDefaultLanguage();
// LANG= of the system's locale setting (/etc/default/locale, else
// /etc/locale.conf, or the file $QZ_LOCALE_SETTING names), as a LANGID; 0
// when there is none. Only a regular file counts, and only its first 64 KiB
// are read (a line cut there is left out): a FIFO, a device or a directory
// in its place is passed over at once, and so is the rest of a huge file.
std::uint16_t systemDefaultLanguage();
// The generated locales (`locale -a`), in the order listed, as LANGIDs
// without duplicates; locales outside the table are left out.
std::vector<std::uint16_t> installedLanguages();

// The LANG value of a locale setting file's text (shell assignments, with
// or without quotes, comments); empty when it sets none.
std::string langFromLocaleSetting(std::string_view fileText);

// Tests: override the answers above; nullopt restores the system's.
void setUserDefaultLanguageForTest(std::optional<std::uint16_t> languageId);
void setSystemDefaultLanguageForTest(std::optional<std::uint16_t> languageId);
void setInstalledLanguagesForTest(std::optional<std::vector<std::uint16_t>> languages);

}  // namespace nork::port
