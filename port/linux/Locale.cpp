#include "port/Locale.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <sstream>

#include "port/ChildProcess.h"

namespace nork::port {

namespace {

struct LanguageLocale {
    std::uint16_t id;
    const char* locale;
};

// The main variant of each language comes first among its rows: a bare
// language ("de") and the reverse lookup of a shared name take it.
constexpr LanguageLocale kTable[] = {
    {1025, "ar_SA"},       {2049, "ar_IQ"},  {3073, "ar_EG"},  {4097, "ar_LY"},  {5121, "ar_DZ"},
    {6145, "ar_MA"},       {7169, "ar_TN"},  {8193, "ar_OM"},  {9217, "ar_YE"},  {10241, "ar_SY"},
    {11265, "ar_JO"},      {12289, "ar_LB"}, {13313, "ar_KW"}, {14337, "ar_AE"}, {15361, "ar_BH"},
    {16385, "ar_QA"},      {1028, "zh_TW"},  {3076, "zh_HK"},  {5124, "zh_MO"},  {2052, "zh_CN"},
    {4100, "zh_SG"},       {1029, "cs_CZ"},  {1030, "da_DK"},  {1031, "de_DE"},  {2055, "de_CH"},
    {3079, "de_AT"},       {4103, "de_LU"},  {5127, "de_LI"},  {1032, "el_GR"},  {1033, "en_US"},
    {2057, "en_GB"},       {3081, "en_AU"},  {4105, "en_CA"},  {5129, "en_NZ"},  {6153, "en_IE"},
    {7177, "en_ZA"},       {8201, "en_JM"},  {10249, "en_BZ"}, {11273, "en_TT"}, {12297, "en_ZW"},
    {13321, "en_PH"},      {16393, "en_IN"}, {17417, "en_MY"}, {18441, "en_SG"}, {1035, "fi_FI"},
    {1036, "fr_FR"},       {2060, "fr_BE"},  {3084, "fr_CA"},  {4108, "fr_CH"},  {5132, "fr_LU"},
    {6156, "fr_MC"},       {1037, "he_IL"},  {1040, "it_IT"},  {2064, "it_CH"},  {1041, "ja_JP"},
    {1042, "ko_KR"},       {1043, "nl_NL"},  {2067, "nl_BE"},  {1045, "pl_PL"},  {1048, "ro_RO"},
    {2072, "ro_MD"},       {1049, "ru_RU"},  {2073, "ru_MD"},  {1053, "sv_SE"},  {2077, "sv_FI"},
    {1055, "tr_TR"},       {1058, "uk_UA"},  {1060, "sl_SI"},  {1061, "et_EE"},  {1066, "vi_VN"},
    {2068, "nn_NO"},       {1044, "nb_NO"},  {2070, "pt_PT"},  {1046, "pt_BR"},  {3082, "es_ES"},
    {2058, "es_MX"},       {4106, "es_GT"},  {5130, "es_CR"},  {6154, "es_PA"},  {7178, "es_DO"},
    {8202, "es_VE"},       {9226, "es_CO"},  {10250, "es_PE"}, {11274, "es_AR"}, {12298, "es_EC"},
    {13322, "es_CL"},      {14346, "es_UY"}, {15370, "es_PY"}, {16394, "es_BO"}, {17418, "es_SV"},
    {18442, "es_HN"},      {19466, "es_NI"}, {20490, "es_PR"}, {21514, "es_US"}, {3098, "sr_RS"},
    {2074, "sr_RS@latin"},
};

struct Overrides {
    std::mutex mutex;
    std::optional<std::uint16_t> user;
    std::optional<std::uint16_t> system;
    std::optional<std::vector<std::uint16_t>> installed;
};

Overrides& overrides() {
    static Overrides* o = new Overrides;  // used until the process ends
    return *o;
}

// The locale setting is a short file of shell assignments; the LANG line is
// in its first few kilobytes. Only a regular file is read, and only its
// first kMaxLocaleSetting bytes: a FIFO without a writer, a device such as
// /dev/zero or a huge file must not hold the program before its window.
constexpr std::size_t kMaxLocaleSetting = 64 * 1024;

bool readText(const char* path, std::string& out) {
    out.clear();
    // O_NONBLOCK: opening a FIFO for reading waits for a writer without it.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[8192];
    bool cut = false;
    for (;;) {
        const std::size_t room = kMaxLocaleSetting - out.size();
        // At the limit, one byte more tells whether the file goes on.
        const ssize_t n = ::read(fd, buf, room == 0 ? 1 : std::min(room, sizeof buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (room == 0) {
            cut = true;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // A line the limit cut through is not read: a part of it could name
    // another locale.
    if (cut) {
        const std::size_t lastBreak = out.rfind('\n');
        out.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }
    return true;
}

std::string findLocaleProgram() {
    for (const char* p : {"/usr/bin/locale", "/bin/locale", "/usr/local/bin/locale"})
        if (::access(p, X_OK) == 0)
            return p;
    return {};
}

}  // namespace

std::uint16_t languageForLocale(std::string_view locale) {
    // language[_territory][.codeset][@modifier]
    std::string_view modifier;
    if (auto at = locale.find('@'); at != std::string_view::npos) {
        modifier = locale.substr(at);
        locale = locale.substr(0, at);
    }
    locale = locale.substr(0, locale.find('.'));
    if (locale.empty())
        return 0;
    std::string withModifier = std::string(locale) + std::string(modifier);
    for (const auto& row : kTable)
        if (withModifier == row.locale)
            return row.id;
    for (const auto& row : kTable)
        if (locale == row.locale)
            return row.id;
    if (locale.find('_') == std::string_view::npos) {
        for (const auto& row : kTable) {
            std::string_view name(row.locale);
            if (name.substr(0, name.find('_')) == locale)
                return row.id;
        }
    }
    return 0;
}

std::string localeForLanguage(std::uint16_t languageId) {
    for (const auto& row : kTable)
        if (row.id == languageId)
            return row.locale;
    return {};
}

std::uint16_t userDefaultLanguage() {
    {
        Overrides& o = overrides();
        std::lock_guard lock(o.mutex);
        if (o.user)
            return *o.user;
    }
    // The POSIX precedence for messages; an empty variable counts as unset.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return languageForLocale(value);
    }
    return 0;
}

std::string langFromLocaleSetting(std::string_view fileText) {
    std::string lang;
    std::istringstream lines{std::string(fileText)};
    for (std::string line; std::getline(lines, line);) {
        std::string_view l(line);
        while (!l.empty() && (l.front() == ' ' || l.front() == '\t'))
            l.remove_prefix(1);
        if (l.substr(0, 7) == "export ")
            l.remove_prefix(7);
        if (l.substr(0, 5) != "LANG=")
            continue;
        l.remove_prefix(5);
        while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t'))
            l.remove_suffix(1);
        if (l.size() >= 2 && (l.front() == '"' || l.front() == '\'') && l.back() == l.front())
            l = l.substr(1, l.size() - 2);
        lang = std::string(l);  // the last assignment wins, as in a shell
    }
    return lang;
}

std::uint16_t systemDefaultLanguage() {
    {
        Overrides& o = overrides();
        std::lock_guard lock(o.mutex);
        if (o.system)
            return *o.system;
    }
    // QZ_LOCALE_SETTING names another setting file, as QZ_HKLM_HIVE names
    // another machine hive: a test or a chroot stands in for the system.
    std::vector<std::string> paths = {"/etc/default/locale", "/etc/locale.conf"};
    if (const char* other = std::getenv("QZ_LOCALE_SETTING"); other && *other)
        paths = {other};
    for (const std::string& path : paths) {
        std::string text;
        if (!readText(path.c_str(), text))
            continue;
        std::string lang = langFromLocaleSetting(text);
        if (!lang.empty())
            return languageForLocale(lang);
    }
    return 0;
}

std::vector<std::uint16_t> installedLanguages() {
    {
        Overrides& o = overrides();
        std::lock_guard lock(o.mutex);
        if (o.installed)
            return *o.installed;
    }
    std::vector<std::uint16_t> out;
    auto add = [&out](std::string_view locale) {
        const std::uint16_t id = languageForLocale(locale);
        if (id != 0 && std::find(out.begin(), out.end(), id) == out.end())
            out.push_back(id);
    };
    std::string program = findLocaleProgram();
    std::string listing;
    int exitCode = 0;
    if (!program.empty() && !runProcess(program, {"locale", "-a"}, listing, exitCode) &&
        exitCode == 0) {
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);)
            add(line);
    }
    // `locale -a` lists only the system's locales, but the C library also
    // loads those compiled into the directories of LOCPATH (localedef
    // output: a directory per locale holding LC_CTYPE), so they are
    // installed for this program too.
    if (const char* locpath = std::getenv("LOCPATH"); locpath && *locpath) {
        std::istringstream dirs{std::string(locpath)};
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (dir.empty())
                continue;
            std::error_code ec;
            std::vector<std::string> names;
            for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
                if (std::filesystem::is_regular_file(entry.path() / "LC_CTYPE", ec))
                    names.push_back(entry.path().filename().string());
            std::sort(names.begin(), names.end());
            for (const std::string& name : names)
                add(name);
        }
    }
    return out;
}

void setUserDefaultLanguageForTest(std::optional<std::uint16_t> languageId) {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.user = languageId;
}

void setSystemDefaultLanguageForTest(std::optional<std::uint16_t> languageId) {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.system = languageId;
}

void setInstalledLanguagesForTest(std::optional<std::vector<std::uint16_t>> languages) {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.installed = std::move(languages);
}

}  // namespace nork::port
