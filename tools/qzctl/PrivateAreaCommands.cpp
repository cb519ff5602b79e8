// pa and trust: a public domain's private area through the drive's
// private-area and trusted-host services.
//
// Passwords never come from the command line (other users see it): they are
// read from the terminal with echo off (a new one twice), or, with
// --password-stdin, from standard input: exactly the lines the verb takes.
// All of them are read and checked before any drive is touched. They are
// not printed, not logged and not kept.
//
// Secrets (password forms, host ids) go to the drive only inside the
// private-area secure session of the domain's LUN, opened before the first
// one and terminated after the last: a drive whose key proof does not
// verify gets none. The services are told so (SecretPolicy::OnlyInSession),
// so a verb that forgot its session sends nothing rather than plain.
//
// trust add stores the host id the drive hands out in
// <user config dir>/qz/trusted/<serial>-<domain>.id (mode 0600, 128 hex
// digits); trust login reads it from there. The computer is named to the
// drive by its machine identifier (/etc/machine-id).
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Cli.h"
#include "DeviceHandle.h"
#include "Domain.h"
#include "Numbers.h"
#include "StringConvertor.h"
#include "UFDImpl.h"
#include "port/DeviceInventory.h"
#include "port/NamedMutex.h"
#include "port/System.h"
#include "qz/DeviceErrors.h"
#include "qz/PrivateAreaImpl.h"
#include "qz/SecureSession.h"
#include "qz/SecureSessionServiceImpl.h"
#include "qz/TrustedImpl.h"
#include "qz/UtilsImpl.h"

namespace qzctl {

namespace {

using nork::qz::CPrivateAreaImpl;
using nork::qz::CSecureSessionServiceImpl;
using nork::qz::CTrustedImpl;

// The most --password-stdin reads: a few password lines, not a file.
constexpr std::size_t MAX_PASSWORD_INPUT = 4096;

// Overwrites text that held a secret before it is freed.
void wipe(std::string& text) {
    volatile char* p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        p[i] = 0;
    text.clear();
}

// What a verb asks: one password (login, trust add, pa public), a new one
// (pa create), or the current one and a new one (pa passwd).
enum class Ask { One, New, CurrentAndNew };

struct Passwords {
    std::u16string current;  // Ask::One and Ask::CurrentAndNew
    std::u16string fresh;    // Ask::New and Ask::CurrentAndNew
};

// One line as the library takes it; false with `why` for a line that is
// not a password. The library stops at a NUL (so "pw\0junk" would be "pw")
// and needs the text in UTF-16.
bool passwordOf(const std::string& line, std::u16string& out, std::string& why) {
    if (line.empty()) {
        why = "no password given";
        return false;
    }
    if (line.find('\0') != std::string::npos) {
        why = "a password holds a NUL byte";
        return false;
    }
    nork::TStringConvertor<nork::UTF8ToUTF16> wide{std::string_view(line)};
    if (wide.conversionStatus() != nork::STATUS_OK) {
        why = "a password is not valid UTF-8";
        return false;
    }
    out.assign(wide.convertedData(), wide.convertedSize());
    return true;
}

// Standard input split into lines (a last line may lack its newline, a
// carriage return before a newline is dropped); false when it holds more
// than a few passwords.
bool stdinLines(std::vector<std::string>& lines) {
    std::string all;
    char c = 0;
    while (all.size() <= MAX_PASSWORD_INPUT && std::cin.get(c))
        all.push_back(c);
    const bool small = all.size() <= MAX_PASSWORD_INPUT;
    std::size_t from = 0;
    while (small && from < all.size()) {
        std::size_t end = all.find('\n', from);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(from, end - from);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        from = end + 1;
    }
    wipe(all);
    return small;
}

// Reads what the verb asks, before any drive is touched: EXIT_OK, or
// EXIT_USAGE reported.
int readPasswords(const Options& options, Ask ask, Passwords& out) {
    const std::size_t count = ask == Ask::One ? 1 : ask == Ask::New ? 2 : 3;
    std::vector<std::string> lines;
    if (options.passwordStdin) {
        const bool small = stdinLines(lines);
        if (!small || lines.size() != count) {
            const std::size_t got = lines.size();
            for (auto& line : lines)
                wipe(line);
            static const char* const what[] = {
                "one line: the password",
                "two lines: the new password twice",
                "three lines: the current password, then the new one twice",
            };
            return usageError(
                "--password-stdin takes " + std::string(what[count - 1]) + " (" +
                (small ? std::to_string(got) + " given"
                       : "more than " + std::to_string(MAX_PASSWORD_INPUT) + " bytes given") +
                ")");
        }
    } else {
        std::vector<const char*> prompts;
        if (ask == Ask::One)
            prompts = {"Password: "};
        else if (ask == Ask::New)
            prompts = {"New password: ", "New password again: "};
        else
            prompts = {"Current password: ", "New password: ", "New password again: "};
        for (const char* prompt : prompts) {
            std::string line;
            if (nork::port::readSecretLine(prompt, line)) {
                for (auto& l : lines)
                    wipe(l);
                return fail(EXIT_USAGE,
                            "no password given (no terminal to ask; --password-stdin reads "
                            "standard input)");
            }
            lines.push_back(std::move(line));
        }
    }
    std::string why;
    bool ok = true;
    if (ask != Ask::New)
        ok = passwordOf(lines[0], out.current, why);
    if (ok && ask != Ask::One) {
        const std::string& first = lines[count - 2];
        ok = passwordOf(first, out.fresh, why);
        if (ok && first != lines[count - 1]) {
            ok = false;
            why = "the new password and its repetition differ";
        }
    }
    for (auto& line : lines)
        wipe(line);
    return ok ? EXIT_OK : fail(EXIT_USAGE, why + ": nothing was sent");
}

std::u16string widen(const std::string& text) {
    nork::TStringConvertor<nork::UTF8ToUTF16> wide{std::string_view(text)};
    return std::u16string(wide.convertedData(), wide.convertedSize());
}

// Whether another session holds the session lock of this user now.
bool sessionLockBusy() {
    std::unique_ptr<nork::port::NamedMutex> lock;
    if (nork::port::NamedMutex::create(nork::qz::CQzSecureSession::MUTEX_NAME, lock) || !lock)
        return false;
    if (lock->tryLock())
        return true;
    lock->unlock();
    return false;
}

// The private-area session of the domain's LUN, from before the first
// secret until end() (or the end of the verb). While it lives the area's
// service sends secrets only inside it.
class SecretSession {
  public:
    explicit SecretSession(CPrivateAreaImpl& area) : m_area(area) {}
    ~SecretSession() { end(); }
    SecretSession(const SecretSession&) = delete;
    SecretSession& operator=(const SecretSession&) = delete;

    // EXIT_OK, or the failure reported (nothing secret was sent).
    int open(nork::CDomainAddress& address, const std::string& device) {
        m_area.setSecretPolicy(CPrivateAreaImpl::SecretPolicy::OnlyInSession);
        m_device = device;
        auto service = std::dynamic_pointer_cast<CSecureSessionServiceImpl>(
            m_area.device()->getService(CSecureSessionServiceImpl::SERVICE_ID));
        if (!service)
            return missingService(m_area.device(), device, "secure-session service");
        const nork::STATUS status =
            service->open(CSecureSessionServiceImpl::SESSION_PRIVATE_AREA, address);
        if (status == nork::STATUS_OK) {
            m_service = service;
            return EXIT_OK;
        }
        return notOpened(status);
    }

    // Terminates the session; a failure only warns: the verb's work is done.
    void end() {
        if (!m_service)
            return;
        if (m_service->terminate() != nork::STATUS_OK)
            std::cerr << "qzctl: warning: " << m_device
                      << ": the secure session did not end cleanly\n";
        m_service.reset();
    }

  private:
    // Why the session did not open: another session holds the lock, the
    // drive refused a step (its error code), did not answer, or answered
    // everything but its key proof did not verify.
    int notOpened(nork::STATUS status) {
        const std::string what = m_device + ": no secure session";
        if (status != nork::STATUS_SECURE_SESSION_FAILED)
            return failed(what, status, m_area.device());
        if (sessionLockBusy())
            return fail(EXIT_DEVICE_STATE,
                        what + ": another one is open on this computer; try again when it ends");
        auto utils = std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(
            m_area.device()->getService(nork::qz::CUtilsImpl::SERVICE_ID));
        std::uint32_t error = 0;
        std::uint32_t extendedSize = 0;
        if (!utils || utils->getLastError(error, extendedSize, nullptr) != nork::STATUS_OK)
            return failed(what, nork::STATUS_COMMUNICATION_FAILURE, m_area.device());
        if (error != 0) {
            std::u16string text;
            nork::qz::describeCommand(error, text);
            nork::qz::describeError(error, text);
            return fail(EXIT_DRIVE_REFUSED, what + ": " + narrow(text));
        }
        return fail(EXIT_NOT_AUTHENTICATED,
                    m_device + ": the drive could not be authenticated; nothing secret was sent");
    }

    CPrivateAreaImpl& m_area;
    std::shared_ptr<CSecureSessionServiceImpl> m_service;
    std::string m_device;
};

using AreaBody = std::function<int(CPrivateAreaImpl&, nork::CDomainAddress&, nork::CDomain&,
                                   const std::string& device)>;

// The domain and the drive's private-area service (the trusted-host one
// for trust).
int onArea(const Options& options, const std::string& device, const std::string& domainArg,
           std::uint16_t serviceId, const AreaBody& body) {
    return onDomain(options, device, domainArg,
                    [&](nork::qz::CUtilsImpl& utils, nork::CDomain& domain, const std::string&) {
                        auto area = std::dynamic_pointer_cast<CPrivateAreaImpl>(
                            utils.device()->getService(serviceId));
                        if (!area)
                            return missingService(utils.device(), device,
                                                  serviceId == CTrustedImpl::SERVICE_ID
                                                      ? "trusted-host service"
                                                      : "private-area service");
                        nork::CDomainAddress address(domain);
                        return body(*area, address, domain, device);
                    });
}

int printState(const Options& options, CPrivateAreaImpl& area, nork::CDomainAddress& address,
               const std::string& device, const std::string& done) {
    nork::CDeviceHandle handle(area.device());
    handle.open();
    CPrivateAreaImpl::AreaParameters p;
    const nork::STATUS status = area.getAreaParameters(handle, address, p);
    if (status != nork::STATUS_OK)
        return failed(device + ": area parameters not read", status);
    const std::uint64_t privateBytes = std::uint64_t{p.privateSectors} * 512;
    const std::uint64_t publicBytes = std::uint64_t{p.domainSectors} * 512 - privateBytes;
    std::u16string hint;
    const bool hasHint = area.getHint(address, hint) == nork::STATUS_OK;
    if (options.json) {
        JsonObject out;
        out.add("domain", std::int64_t{address.index()})
            .add("privateArea", p.privateSectors != 0)
            .add("loggedIn", p.loggedIn)
            .add("privateBytes", privateBytes)
            .add("publicBytes", publicBytes);
        if (hasHint)
            out.add("hint", narrow(hint));
        std::cout << out.str() << "\n";
        return EXIT_OK;
    }
    if (!done.empty())
        std::cout << done << "\n";
    std::cout << "domain " << int{address.index()} << ": ";
    if (p.privateSectors == 0) {
        std::cout << "no private area, " << publicBytes << " public bytes\n";
        return EXIT_OK;
    }
    std::cout << "private area of " << privateBytes << " bytes, " << publicBytes
              << " public bytes, " << (p.loggedIn ? "logged in" : "logged out") << "\n";
    if (hasHint)
        std::cout << "hint: " << narrow(hint) << "\n";
    return EXIT_OK;
}

std::string hostIdPath(CPrivateAreaImpl& area, std::uint8_t domain) {
    return nork::port::userConfigDir() + "/qz/trusted/" + narrow(area.device()->serialNumber()) +
           "-" + std::to_string(domain) + ".id";
}

// The 15 bytes that name this computer to the drive.
bool pcIdSource(std::uint8_t (&source)[CTrustedImpl::PC_ID_SOURCE_SIZE]) {
    const std::string id = nork::port::machineIdentifier();
    if (id.size() < 2 * sizeof source)
        return false;
    for (std::size_t i = 0; i < sizeof source; ++i) {
        const auto byte = qzcli::parseUnsigned("0x" + id.substr(2 * i, 2), 0, 255);
        if (!byte)
            return false;
        source[i] = static_cast<std::uint8_t>(*byte);
    }
    return true;
}

int paStatus(const Options& options, const std::vector<std::string>& args) {
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      return printState(options, area, address, device, "");
                  });
}

// "all", or a number of bytes (1 or more); none for anything else. Whether
// it fits the domain is the library's to say.
std::optional<std::uint64_t> sizeArgument(const std::string& text, std::uint64_t domainBytes = 0) {
    if (text == "all")
        return domainBytes;
    return qzcli::parseUnsigned(text, 1);
}

int paCreate(const Options& options, const std::vector<std::string>& args) {
    if (!options.domainSize)
        return usageError("pa create needs --size BYTES|all");
    if (!sizeArgument(*options.domainSize, 1))
        return usageError("--size takes a number of bytes (1 or more) or all, not " +
                          *options.domainSize);
    if (options.hint && options.hint->size() > CPrivateAreaImpl::MAX_HINT_LENGTH)
        return usageError("--hint holds at most 32 characters");
    Passwords passwords;
    if (int rc = readPasswords(options, Ask::New, passwords); rc != EXIT_OK)
        return rc;
    return onArea(
        options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
        [&](CPrivateAreaImpl& area, auto& address, nork::CDomain& domain,
            const std::string& device) {
            const std::uint64_t bytes = *sizeArgument(*options.domainSize, domain.size());
            nork::CDeviceHandle handle(area.device());
            handle.open();
            const std::string what = device + ": private area not created";
            nork::STATUS status = area.checkPrivateSize(handle, address, bytes);
            if (status == nork::STATUS_WRONG_PARAMETERS)
                return failed(what + " (" + std::to_string(bytes) + " bytes do not fit the " +
                                  std::to_string(domain.size()) + " of the domain)",
                              status);
            if (status != nork::STATUS_OK)
                return failed(what, status, area.device());
            if (options.format && !confirmDestruction(options, volumeText(device, domain)))
                return EXIT_USAGE;
            SecretSession session(area);
            if (int rc = session.open(address, device); rc != EXIT_OK)
                return rc;
            nork::qz::CPrivateAreaConfig config;
            config.privateBytes = bytes;
            config.password = passwords.fresh;
            status = area.configure(handle, address, config, nullptr, nullptr, options.force,
                                    options.format);
            session.end();
            if (status != nork::STATUS_OK)
                return failed(what, status, area.device());
            if (options.hint) {
                status = area.setHint(address, widen(*options.hint).c_str(), false);
                if (status != nork::STATUS_OK)
                    return failed(device + ": hint not stored", status);
            }
            return printState(options, area, address, device, "private area created");
        });
}

int paRemove(const Options& options, const std::vector<std::string>& args) {
    return onArea(
        options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
        [&](CPrivateAreaImpl& area, auto& address, nork::CDomain& domain,
            const std::string& device) {
            if (!confirmDestruction(options, volumeText(device, domain)))
                return EXIT_USAGE;
            nork::CDeviceHandle handle(area.device());
            handle.open();
            nork::STATUS status = area.removeForced(handle, address, options.force, options.format);
            if (status != nork::STATUS_OK)
                return failed(device + ": private area not removed", status, area.device());
            area.setHint(address, u"", true);
            return printState(options, area, address, device, "private area removed");
        });
}

int paLogin(const Options& options, const std::vector<std::string>& args, bool in) {
    Passwords passwords;
    if (in) {
        if (int rc = readPasswords(options, Ask::One, passwords); rc != EXIT_OK)
            return rc;
    }
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      nork::CDeviceHandle handle(area.device());
                      handle.open();
                      nork::STATUS status = nork::STATUS_OK;
                      if (in) {
                          nork::qz::PasswordForm form{};
                          status = CPrivateAreaImpl::passwordForm(passwords.current.c_str(), form);
                          if (status != nork::STATUS_OK)
                              return failed(device + ": login refused", status);
                          SecretSession session(area);
                          if (int rc = session.open(address, device); rc != EXIT_OK)
                              return rc;
                          status = area.login(handle, address, form.data(), nullptr);
                      } else {
                          status = area.logout(handle, address);
                      }
                      if (status != nork::STATUS_OK)
                          return failed(device + (in ? ": login refused" : ": logout failed"),
                                        status, area.device());
                      return printState(options, area, address, device,
                                        in ? "logged in" : "logged out");
                  });
}

int paPasswd(const Options& options, const std::vector<std::string>& args) {
    if (options.hint && options.hint->size() > CPrivateAreaImpl::MAX_HINT_LENGTH)
        return usageError("--hint holds at most 32 characters");
    Passwords passwords;
    if (int rc = readPasswords(options, Ask::CurrentAndNew, passwords); rc != EXIT_OK)
        return rc;
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      const std::u16string hint = widen(options.hint.value_or(""));
                      SecretSession session(area);
                      if (int rc = session.open(address, device); rc != EXIT_OK)
                          return rc;
                      const nork::STATUS status =
                          area.changePassword(address, passwords.current.c_str(),
                                              passwords.fresh.c_str(), hint.c_str());
                      session.end();
                      if (status != nork::STATUS_OK)
                          return failed(device + ": password not changed", status, area.device());
                      return printState(options, area, address, device, "password changed");
                  });
}

int paPublic(const Options& options, const std::vector<std::string>& args) {
    Passwords passwords;
    if (int rc = readPasswords(options, Ask::One, passwords); rc != EXIT_OK)
        return rc;
    return onArea(
        options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
        [&](CPrivateAreaImpl& area, auto& address, nork::CDomain& domain,
            const std::string& device) {
            // Only an area that fills its domain turns public; for any other
            // the library's refusal (or its nothing-to-do) needs no question.
            CPrivateAreaImpl::AreaParameters p;
            {
                nork::CDeviceHandle handle(area.device());
                handle.open();
                const nork::STATUS status = area.getAreaParameters(handle, address, p);
                if (status != nork::STATUS_OK)
                    return failed(device + ": area parameters not read", status, area.device());
            }
            if (p.privateSectors != 0 && p.privateSectors == p.domainSectors &&
                !confirmDestruction(options, volumeText(device, domain)))
                return EXIT_USAGE;
            SecretSession session(area);
            if (int rc = session.open(address, device); rc != EXIT_OK)
                return rc;
            const nork::STATUS status = area.makePublic(address, passwords.current.c_str(), false);
            session.end();
            if (status != nork::STATUS_OK)
                return failed(device + ": private area not made public", status, area.device());
            return printState(options, area, address, device, "made public");
        });
}

int paHint(const Options& options, const std::vector<std::string>& args) {
    if (args.size() == 3 && args[2].size() > CPrivateAreaImpl::MAX_HINT_LENGTH)
        return usageError("a hint holds at most 32 characters");
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      if (args.size() == 3) {
                          const nork::STATUS status =
                              area.setHint(address, widen(args[2]).c_str(), false);
                          if (status != nork::STATUS_OK)
                              return failed(device + ": hint not stored", status);
                      }
                      return printState(options, area, address, device, "");
                  });
}

}  // namespace

int cmdPa(const Options& options, const std::vector<std::string>& args) {
    const std::string& what = args.at(0);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (what == "status")
        return paStatus(options, rest);
    if (what == "create")
        return paCreate(options, rest);
    if (what == "remove")
        return paRemove(options, rest);
    if (what == "login")
        return paLogin(options, rest, true);
    if (what == "logout")
        return paLogin(options, rest, false);
    if (what == "passwd")
        return paPasswd(options, rest);
    if (what == "public")
        return paPublic(options, rest);
    if (what == "hint")
        return paHint(options, rest);
    return usageError("unknown command pa " + what);
}

int cmdTrust(const Options& options, const std::vector<std::string>& args) {
    const std::string& what = args.at(0);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    std::uint8_t source[CTrustedImpl::PC_ID_SOURCE_SIZE] = {};
    if (!pcIdSource(source))
        return fail(EXIT_COMMAND_FAILED, "this computer has no machine identifier");
    Passwords passwords;
    if (what == "add") {
        if (int rc = readPasswords(options, Ask::One, passwords); rc != EXIT_OK)
            return rc;
    }
    return onArea(
        options, rest[0], rest[1], CTrustedImpl::SERVICE_ID,
        [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
            auto& trusted = static_cast<CTrustedImpl&>(area);
            const std::string path = hostIdPath(area, address.index());
            std::uint8_t hostId[CTrustedImpl::HOST_ID_SIZE] = {};
            SecretSession session(area);
            if (what == "add") {
                if (int rc = session.open(address, device); rc != EXIT_OK)
                    return rc;
                const nork::STATUS status =
                    trusted.createDeviceId(address, passwords.current.c_str(), source, hostId);
                session.end();
                if (status != nork::STATUS_OK)
                    return failed(device + ": this computer is not trusted", status, area.device());
                std::string hex;
                static const char digits[] = "0123456789abcdef";
                for (std::uint8_t b : hostId) {
                    hex += digits[b >> 4];
                    hex += digits[b & 0x0F];
                }
                nork::port::createDirectories(nork::port::userConfigDir() + "/qz/trusted");
                if (nork::port::writeOwnerOnlyFile(path, hex + "\n"))
                    return fail(EXIT_COMMAND_FAILED, "cannot write " + path);
                return printState(options, area, address, device,
                                  "this computer is trusted (" + path + ")");
            }
            std::ifstream file(path);
            std::string hex;
            if (!(file >> hex) || hex.size() != 2 * sizeof hostId)
                return fail(EXIT_COMMAND_FAILED, "no host id in " + path + " (trust add first)");
            for (std::size_t i = 0; i < sizeof hostId; ++i) {
                const auto byte = qzcli::parseUnsigned("0x" + hex.substr(2 * i, 2), 0, 255);
                if (!byte)
                    return fail(EXIT_COMMAND_FAILED, "a damaged host id in " + path);
                hostId[i] = static_cast<std::uint8_t>(*byte);
            }
            if (int rc = session.open(address, device); rc != EXIT_OK)
                return rc;
            const nork::STATUS status = trusted.trustedLogin(address, source, hostId, false);
            session.end();
            if (status != nork::STATUS_OK)
                return failed(device + ": trusted login refused", status, area.device());
            return printState(options, area, address, device, "logged in");
        });
}

}  // namespace qzctl
