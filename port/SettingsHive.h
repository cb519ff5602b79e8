// The settings hive: the library's stand-in for the registry.
//
// Three roots, chosen by index as the library's registry wrapper does:
// 0 = classes root (HKCR), 1 = current user (HKCU), 2 = local machine (HKLM).
// Keys are backslash-separated paths ("SOFTWARE\NORK\SDK"); empty components
// are ignored, so "\A\\B\" is "A\B". Key and value names compare
// case-insensitively and keep the case they were created with. A key exists
// when it was created or when one of its subkeys exists. Values are typed:
// DWORD, string (UTF-16 here, UTF-8 in the file) or binary.
//
// Each root is one user-editable UTF-8 text file in a .reg-like format
// (port/HiveFormat.h, docs/settings.md):
//
//   ; comment
//   [SOFTWARE\NORK\SDK]
//   "Logger"=dword:00000001
//   "LogFilePath"="/home/me/qzlogs"
//
// A missing file is an empty root. A line that cannot be read is skipped and
// counted in the result; it and every comment stay in the file when the hive
// is rewritten, so a typo of the user never costs the rest of the file.
//
// File locations of the default instance: HKCU = $QZ_HKCU_HIVE, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/qz/hkcu.reg; HKLM = $QZ_HKLM_HIVE, else
// /var/lib/qz/hklm.reg; HKCR = $QZ_HKCR_HIVE, else /var/lib/qz/hkcr.reg. The
// environment is read on every operation.
//
// Reads parse only the key they ask for (hive::KeyReader): the file is read
// in pieces and scanned whole, since a later block of a key joins the first,
// but the lines of other keys are only passed over, so a read of a large
// hive costs a scan of the file, not a parse of it, and holds only that key.
// Their skippedLines count the lines met (hive::KeyView::skippedLines);
// changes parse the whole file and count every unreadable line of it.
//
// Concurrency: every operation reads the file afresh; there is no cache.
// Readers take a shared flock on "<hive>.lock", writers an exclusive one
// (several processes and threads may use one hive at once; operations on one
// root are serialised against writers of that root). A writer reads the file,
// applies its change, writes the result to "<hive>.tmp" and renames it over
// the hive, so a reader never sees a half-written file and a crash leaves the
// previous contents. Operations block while another process holds the lock,
// which is only ever held for one read-modify-write. All members may be
// called from any thread; none throws.
//
// Failures (HiveResult::error): NotFound (key or value absent; readValue
// returns the value with its stored type, the caller checks it), AccessDenied (file or lock not
// readable/writable, or deleting a key that has subkeys without asking for them), InvalidArgument
// (bad root, empty key where one is required, text that cannot be stored:
// ill-formed UTF-16, a key path with a line break or blanks at its ends),
// IoError (anything else the system reported).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "port/HiveFormat.h"
#include "port/PortError.h"

namespace nork::port {

enum class HiveRoot : int { ClassesRoot = 0, CurrentUser = 1, LocalMachine = 2 };
inline constexpr int HIVE_ROOT_COUNT = 3;

// Outcome of one operation. `skippedLines` counts the malformed lines met
// while reading the root's file (they are skipped, never fatal), and
// `firstSkippedLine` is the 1-based number of the first one (0 when none).
struct HiveResult {
    PortError error;
    std::size_t skippedLines = 0;
    std::size_t firstSkippedLine = 0;

    bool ok() const { return !error; }
};

class SettingsHive {
  public:
    // Files from the environment (see above), resolved on each operation.
    SettingsHive();
    // Fixed files, one per root (tests point these at temporary files).
    SettingsHive(std::string hkcrPath, std::string hkcuPath, std::string hklmPath);

    // The process-wide instance that follows the environment.
    static SettingsHive& processDefault();

    // File backing a root ("" for an index out of range).
    std::string filePath(HiveRoot root) const;

    HiveResult keyExists(HiveRoot root, std::u16string_view key, bool& exists) const;
    // One key with its values and subkey names, read in one go, for a caller
    // that asks several things of it. NotFound is never the answer: `out`
    // says whether the key exists.
    HiveResult readKey(HiveRoot root, std::u16string_view key, hive::KeyView& out) const;
    // Creates the key (and its parents); succeeds when it exists already.
    HiveResult createKey(HiveRoot root, std::u16string_view key);
    // NotFound when the key or the value is missing. `name` "" is the
    // default value.
    HiveResult readValue(HiveRoot root, std::u16string_view key, std::u16string_view name,
                         HiveValue& out) const;
    // Creates the key when needed and replaces any value of that name. A
    // string holding an unpaired surrogate is refused (InvalidArgument).
    HiveResult writeValue(HiveRoot root, std::u16string_view key, std::u16string_view name,
                          const HiveValue& value);
    HiveResult deleteValue(HiveRoot root, std::u16string_view key, std::u16string_view name);
    // Deletes the key with its values. A key that has subkeys is deleted only
    // with `withSubkeys` (they go with it); otherwise AccessDenied, as the
    // registry answers. The parent key stays.
    HiveResult deleteKey(HiveRoot root, std::u16string_view key, bool withSubkeys = false);
    // Names of the direct subkeys, in their stored case, in file order.
    HiveResult enumSubkeys(HiveRoot root, std::u16string_view key,
                           std::vector<std::u16string>& names) const;
    // Values of the key, in file order.
    HiveResult enumValues(HiveRoot root, std::u16string_view key,
                          std::vector<std::pair<std::u16string, HiveValue>>& values) const;

    // How many times this object has read a root's file (each operation
    // reads it once): what a caller costs, for tests and benchmarks.
    std::uint64_t fileReads() const { return m_fileReads.load(std::memory_order_relaxed); }

  private:
    template <class Fn>
    HiveResult readKeyWith(HiveRoot root, std::u16string_view key, Fn&& query) const;

    bool m_fromEnvironment;
    std::string m_paths[HIVE_ROOT_COUNT];
    mutable std::atomic<std::uint64_t> m_fileReads{0};
};

}  // namespace nork::port
