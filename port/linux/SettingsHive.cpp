// Linux home of the settings hive: one file per root, flock on a lock file
// beside it, and writes through a temporary file renamed over the hive. The
// text itself is port/HiveFormat's.
#include "port/SettingsHive.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "port/HiveFormat.h"
#include "port/System.h"

namespace nork::port {
namespace {

using hive::Document;

PortError failure(PortErrc code) {
    return PortError{code, 0};
}

// ---- file access ---------------------------------------------------------------

class FileLock {
  public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() {
        if (m_fd >= 0)
            ::close(m_fd);  // closing releases the flock
    }

    // Exclusive locks must be had; a reader without a usable lock file (a
    // read-only system directory) reads unlocked, which the atomic rename of
    // writers makes safe.
    PortError acquire(const std::string& hivePath, bool exclusive) {
        std::string lockPath = hivePath + ".lock";
        m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0 && !exclusive)
            m_fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return exclusive ? fromErrno(errno) : PortError::ok();
        int r = 0;
        do {
            r = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
        } while (r != 0 && errno == EINTR);
        if (r != 0)
            return fromErrno(errno);
        return PortError::ok();
    }

  private:
    int m_fd = -1;
};

// Reads an open file to its end in pieces of `piece` bytes, each handed to
// `take`; the file is closed whatever happens.
template <typename Take>
PortError readPieces(int fd, std::size_t piece, Take take) {
    const std::unique_ptr<char[]> buf(new char[piece]);  // off the stack of any thread
    for (;;) {
        ssize_t n = ::read(fd, buf.get(), piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            return fromErrno(err);
        }
        if (n == 0)
            break;
        take(std::string_view(buf.get(), static_cast<std::size_t>(n)));
    }
    ::close(fd);
    return PortError::ok();
}

PortError readWhole(const std::string& path, std::string& out, mode_t* mode) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return PortError::ok();  // an empty root
        return fromErrno(errno);
    }
    struct stat st {};
    if (mode != nullptr && ::fstat(fd, &st) == 0)
        *mode = st.st_mode & 07777;
    return readPieces(fd, 8192, [&](std::string_view piece) { out.append(piece); });
}

PortError writeAtomically(const std::string& path, const std::string& text, mode_t mode) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return fromErrno(errno);
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return fromErrno(err);
    };
    if (::fchmod(fd, mode) != 0)
        return fail(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        return fromErrno(err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        return fromErrno(err);
    }
    return PortError::ok();
}

std::string parentDir(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

template <class Parsed>
HiveResult withCounts(PortError err, const Parsed& doc) {
    HiveResult r;
    r.error = err;
    r.skippedLines = doc.skippedLines();
    r.firstSkippedLine = doc.firstSkippedLine();
    return r;
}

HiveResult plain(PortError err) {
    HiveResult r;
    r.error = err;
    return r;
}

// Feeds the file to a key reader in pieces, so that a large hive is never
// held whole.
PortError readInPieces(const std::string& path, hive::KeyReader& reader) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? PortError::ok() : fromErrno(errno);  // ENOENT: an empty root
    return readPieces(fd, 64 * 1024, [&](std::string_view piece) { reader.feed(piece); });
}

// Runs a change under the exclusive lock and writes the file when the change
// says it modified the document.
template <class Fn>
HiveResult modifyDocument(const std::string& path, std::atomic<std::uint64_t>& reads, Fn&& change) {
    if (path.empty())
        return plain(failure(PortErrc::InvalidArgument));
    if (PortError e = createDirectories(parentDir(path)))
        return plain(e);
    FileLock lock;
    if (PortError e = lock.acquire(path, true))
        return plain(e);
    reads.fetch_add(1, std::memory_order_relaxed);
    std::string text;
    mode_t mode = 0644;
    if (PortError e = readWhole(path, text, &mode))
        return plain(e);
    Document doc = hive::parse(text);
    bool modified = false;
    PortError err = change(doc, modified);
    if (!err && modified)
        err = writeAtomically(path, hive::serialise(doc), mode);
    return withCounts(err, doc);
}

std::string envOr(const char* name, std::string fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::move(fallback);
}

bool validRoot(HiveRoot root) {
    int i = static_cast<int>(root);
    return i >= 0 && i < HIVE_ROOT_COUNT;
}

}  // namespace

SettingsHive::SettingsHive() : m_fromEnvironment(true) {}

SettingsHive::SettingsHive(std::string hkcrPath, std::string hkcuPath, std::string hklmPath)
    : m_fromEnvironment(false),
      m_paths{std::move(hkcrPath), std::move(hkcuPath), std::move(hklmPath)} {}

SettingsHive& SettingsHive::processDefault() {
    static SettingsHive* hive = new SettingsHive();  // never destroyed: used at exit
    return *hive;
}

std::string SettingsHive::filePath(HiveRoot root) const {
    if (!validRoot(root))
        return {};
    if (!m_fromEnvironment)
        return m_paths[static_cast<int>(root)];
    switch (root) {
        case HiveRoot::ClassesRoot:
            return envOr("QZ_HKCR_HIVE", "/var/lib/qz/hkcr.reg");
        case HiveRoot::CurrentUser:
            return envOr("QZ_HKCU_HIVE", userConfigDir() + "/qz/hkcu.reg");
        case HiveRoot::LocalMachine:
            return envOr("QZ_HKLM_HIVE", "/var/lib/qz/hklm.reg");
    }
    return {};
}

// Runs a read-only query on one key of the root's file, read under a shared
// lock.
template <class Fn>
HiveResult SettingsHive::readKeyWith(HiveRoot root, std::u16string_view key, Fn&& query) const {
    const std::string path = filePath(root);
    if (path.empty())
        return plain(failure(PortErrc::InvalidArgument));
    FileLock lock;
    if (PortError e = lock.acquire(path, false))
        return plain(e);
    m_fileReads.fetch_add(1, std::memory_order_relaxed);
    hive::KeyReader reader(key);
    if (PortError e = readInPieces(path, reader))
        return plain(e);
    hive::KeyView view = reader.finish();
    HiveResult r = withCounts(PortError::ok(), view);
    r.error = query(view);  // may take the view
    return r;
}

HiveResult SettingsHive::keyExists(HiveRoot root, std::u16string_view key, bool& exists) const {
    exists = false;
    return readKeyWith(root, key, [&](const hive::KeyView& view) {
        exists = view.exists();
        return PortError::ok();
    });
}

HiveResult SettingsHive::readKey(HiveRoot root, std::u16string_view key, hive::KeyView& out) const {
    out = hive::KeyView();
    return readKeyWith(root, key, [&](hive::KeyView& view) {
        out = std::move(view);
        return PortError::ok();
    });
}

HiveResult SettingsHive::createKey(HiveRoot root, std::u16string_view key) {
    if (!hive::storableKey(hive::normaliseKey(key)))
        return plain(failure(PortErrc::InvalidArgument));
    return modifyDocument(filePath(root), m_fileReads, [&](Document& doc, bool& modified) {
        modified = doc.createKey(key);
        return PortError::ok();
    });
}

HiveResult SettingsHive::readValue(HiveRoot root, std::u16string_view key, std::u16string_view name,
                                   HiveValue& out) const {
    return readKeyWith(root, key, [&](const hive::KeyView& view) {
        const HiveValue* v = view.findValue(name);
        if (v == nullptr)
            return failure(PortErrc::NotFound);
        out = *v;
        return PortError::ok();
    });
}

HiveResult SettingsHive::writeValue(HiveRoot root, std::u16string_view key,
                                    std::u16string_view name, const HiveValue& value) {
    if (!hive::storableKey(hive::normaliseKey(key)) || !hive::storableText(name) ||
        (value.type == HiveValueType::String && !hive::storableText(value.text))) {
        return plain(failure(PortErrc::InvalidArgument));
    }
    return modifyDocument(filePath(root), m_fileReads, [&](Document& doc, bool& modified) {
        doc.setValue(key, name, value);
        modified = true;
        return PortError::ok();
    });
}

HiveResult SettingsHive::deleteValue(HiveRoot root, std::u16string_view key,
                                     std::u16string_view name) {
    return modifyDocument(filePath(root), m_fileReads, [&](Document& doc, bool& modified) {
        modified = doc.deleteValue(key, name);
        return modified ? PortError::ok() : failure(PortErrc::NotFound);
    });
}

HiveResult SettingsHive::deleteKey(HiveRoot root, std::u16string_view key, bool withSubkeys) {
    if (hive::normaliseKey(key).empty())
        return plain(failure(PortErrc::InvalidArgument));
    return modifyDocument(filePath(root), m_fileReads, [&](Document& doc, bool& modified) {
        if (!doc.keyExists(key))
            return failure(PortErrc::NotFound);
        if (!withSubkeys && doc.hasSubkeys(key))
            return failure(PortErrc::AccessDenied);
        modified = doc.deleteTree(key);
        return PortError::ok();
    });
}

HiveResult SettingsHive::enumSubkeys(HiveRoot root, std::u16string_view key,
                                     std::vector<std::u16string>& names) const {
    names.clear();
    return readKeyWith(root, key, [&](const hive::KeyView& view) {
        return view.subkeys(names) ? PortError::ok() : failure(PortErrc::NotFound);
    });
}

HiveResult SettingsHive::enumValues(
    HiveRoot root, std::u16string_view key,
    std::vector<std::pair<std::u16string, HiveValue>>& values) const {
    values.clear();
    return readKeyWith(root, key, [&](const hive::KeyView& view) {
        std::vector<Document::Value> found;
        if (!view.values(found))
            return failure(PortErrc::NotFound);
        for (auto& v : found)
            values.emplace_back(std::move(v.name), std::move(v.value));
        return PortError::ok();
    });
}

}  // namespace nork::port
