// pa and trust: a public domain's private area through the drive's
// private-area and trusted-host services.
//
// Passwords never come from the command line (other users see it): they are
// read from the terminal with echo off, or, with --password-stdin, one per
// line from standard input. They are not printed, not logged and not kept.
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
#include "port/System.h"
#include "qz/PrivateAreaImpl.h"
#include "qz/TrustedImpl.h"
#include "qz/UtilsImpl.h"

namespace qzctl {

namespace {

using nork::qz::CPrivateAreaImpl;
using nork::qz::CTrustedImpl;

// A password as the library takes it; none when it cannot be read.
std::optional<std::u16string> readPassword(const Options& options, const std::string& prompt) {
    std::string line;
    if (options.passwordStdin) {
        if (!std::getline(std::cin, line))
            return std::nullopt;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    } else if (nork::port::readSecretLine(prompt, line)) {
        return std::nullopt;
    }
    nork::TStringConvertor<nork::UTF8ToUTF16> wide{std::string_view(line)};
    if (wide.conversionStatus() != nork::STATUS_OK)
        return std::nullopt;
    return std::u16string(wide.convertedData(), wide.convertedSize());
}

std::u16string widen(const std::string& text) {
    nork::TStringConvertor<nork::UTF8ToUTF16> wide{std::string_view(text)};
    return std::u16string(wide.convertedData(), wide.convertedSize());
}

// A command the drive refused reaches the library as a communication
// failure; the drive's own last error says why (a wrong password, say).
int refused(CPrivateAreaImpl& area, const std::string& what, nork::STATUS status) {
    if (status == nork::STATUS_COMMUNICATION_FAILURE && area.device() != nullptr) {
        auto utils = std::dynamic_pointer_cast<nork::qz::CUtilsImpl>(
            area.device()->getService(nork::qz::CUtilsImpl::SERVICE_ID));
        std::u16string text(512, u'\0');
        auto length = static_cast<std::uint32_t>(text.size());
        if (utils && utils->getErrorText(text.data(), length) == nork::STATUS_OK) {
            text.resize(std::char_traits<char16_t>::length(text.c_str()));
            if (!text.empty())
                return fail(EXIT_COMMAND_FAILED, what + ": " + narrow(text));
        }
    }
    return failed(what, status);
}

using AreaBody = std::function<int(CPrivateAreaImpl&, nork::CDomainAddress&, nork::CDomain&,
                                   const std::string& device)>;

// The domain and the drive's private-area service (the trusted-host one
// for trust).
int onArea(const Options& options, const std::string& device, const std::string& domainArg,
           std::uint16_t serviceId, const AreaBody& body) {
    return onDomain(
        options, device, domainArg,
        [&](nork::qz::CUtilsImpl& utils, nork::CDomain& domain, const std::string&) {
            auto area =
                std::dynamic_pointer_cast<CPrivateAreaImpl>(utils.device()->getService(serviceId));
            if (!area)
                return fail(
                    EXIT_COMMAND_FAILED,
                    device + " offers no " +
                        (serviceId == CTrustedImpl::SERVICE_ID ? "trusted-host" : "private-area") +
                        " service");
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

std::optional<std::uint64_t> sizeOf(const std::string& text, std::uint64_t domainBytes) {
    if (text == "all")
        return domainBytes;
    return qzcli::parseUnsigned(text, 1, domainBytes);
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

int paCreate(const Options& options, const std::vector<std::string>& args) {
    if (!options.domainSize)
        return usageError("pa create needs --size BYTES|all");
    if (options.hint && options.hint->size() > CPrivateAreaImpl::MAX_HINT_LENGTH)
        return usageError("--hint holds at most 32 characters");
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, nork::CDomain& domain,
                      const std::string& device) {
                      const auto bytes = sizeOf(*options.domainSize, domain.size());
                      if (!bytes)
                          return usageError("--size takes 1.." + std::to_string(domain.size()) +
                                            " or all, not " + *options.domainSize);
                      const auto password = readPassword(options, "New password: ");
                      if (!password || password->empty())
                          return fail(EXIT_USAGE, "no password given");
                      nork::qz::CPrivateAreaConfig config;
                      config.privateBytes = *bytes;
                      config.password = *password;
                      nork::CDeviceHandle handle(area.device());
                      handle.open();
                      nork::STATUS status = area.configure(handle, address, config, nullptr,
                                                           nullptr, options.force, options.format);
                      if (status != nork::STATUS_OK)
                          return refused(area, device + ": private area not created", status);
                      if (options.hint) {
                          status = area.setHint(address, widen(*options.hint).c_str(), false);
                          if (status != nork::STATUS_OK)
                              return failed(device + ": hint not stored", status);
                      }
                      return printState(options, area, address, device, "private area created");
                  });
}

int paRemove(const Options& options, const std::vector<std::string>& args) {
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      nork::CDeviceHandle handle(area.device());
                      handle.open();
                      nork::STATUS status =
                          area.removeForced(handle, address, options.force, options.format);
                      if (status != nork::STATUS_OK)
                          return failed(device + ": private area not removed", status);
                      area.setHint(address, u"", true);
                      return printState(options, area, address, device, "private area removed");
                  });
}

int paLogin(const Options& options, const std::vector<std::string>& args, bool in) {
    return onArea(
        options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
        [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
            nork::CDeviceHandle handle(area.device());
            handle.open();
            nork::STATUS status = nork::STATUS_OK;
            if (in) {
                const auto password = readPassword(options, "Password: ");
                if (!password)
                    return fail(EXIT_USAGE, "no password given");
                nork::qz::PasswordForm form{};
                status = CPrivateAreaImpl::passwordForm(password->c_str(), form);
                if (status == nork::STATUS_OK)
                    status = area.login(handle, address, form.data(), nullptr);
            } else {
                status = area.logout(handle, address);
            }
            if (status != nork::STATUS_OK)
                return refused(area, device + (in ? ": login refused" : ": logout failed"), status);
            return printState(options, area, address, device, in ? "logged in" : "logged out");
        });
}

int paPasswd(const Options& options, const std::vector<std::string>& args) {
    if (options.hint && options.hint->size() > CPrivateAreaImpl::MAX_HINT_LENGTH)
        return usageError("--hint holds at most 32 characters");
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      const auto old = readPassword(options, "Current password: ");
                      const auto fresh = old ? readPassword(options, "New password: ")
                                             : std::optional<std::u16string>();
                      if (!fresh || fresh->empty())
                          return fail(EXIT_USAGE, "no password given");
                      const std::u16string hint = widen(options.hint.value_or(""));
                      const nork::STATUS status =
                          area.changePassword(address, old->c_str(), fresh->c_str(), hint.c_str());
                      if (status != nork::STATUS_OK)
                          return refused(area, device + ": password not changed", status);
                      return printState(options, area, address, device, "password changed");
                  });
}

int paPublic(const Options& options, const std::vector<std::string>& args) {
    return onArea(options, args[0], args[1], CPrivateAreaImpl::SERVICE_ID,
                  [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
                      const auto password = readPassword(options, "Password: ");
                      if (!password)
                          return fail(EXIT_USAGE, "no password given");
                      const nork::STATUS status =
                          area.makePublic(address, password->c_str(), false);
                      if (status != nork::STATUS_OK)
                          return refused(area, device + ": private area not made public", status);
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
    return onArea(
        options, rest[0], rest[1], CTrustedImpl::SERVICE_ID,
        [&](CPrivateAreaImpl& area, auto& address, auto&, const std::string& device) {
            auto& trusted = static_cast<CTrustedImpl&>(area);
            const std::string path = hostIdPath(area, address.index());
            std::uint8_t hostId[CTrustedImpl::HOST_ID_SIZE] = {};
            if (what == "add") {
                const auto password = readPassword(options, "Password: ");
                if (!password)
                    return fail(EXIT_USAGE, "no password given");
                const nork::STATUS status =
                    trusted.createDeviceId(address, password->c_str(), source, hostId);
                if (status != nork::STATUS_OK)
                    return refused(area, device + ": this computer is not trusted", status);
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
            const nork::STATUS status = trusted.trustedLogin(address, source, hostId, false);
            if (status != nork::STATUS_OK)
                return refused(area, device + ": trusted login refused", status);
            return printState(options, area, address, device, "logged in");
        });
}

}  // namespace qzctl
