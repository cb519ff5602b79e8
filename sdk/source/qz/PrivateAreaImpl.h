// The private-area service of a Qz drive (service id 12) and the trusted-host
// service built on it (service id 14).
//
// A public domain may end in a password-protected private area. The drive
// hides it until a host logs in; while logged in, the domain's unit shows the
// private area instead of the public part. Passwords travel as the 16-byte
// MD5 form of the wide password (UTF-16LE units and the terminating zero);
// the service never logs them. The user's password hint is a string cookie
// of the drive (section SDK_PA_API_HINT_SECTION, key
// SDK_PA_API_HINT_ENTRY_<domain index>).
//
// Every command that carries or unlocks a secret is sent through a
// CPrivateAreaExec: by default the secure-session rules (inside an open
// private-area session, plainly without one); tests set their own. An
// application that must never let a secret go plain sets the policy
// SecretPolicy::OnlyInSession: then a secret goes out only while a
// private-area session of the domain's LUN is open (its drive's key proof
// verified), and is refused with STATUS_SS_NOT_INITIALIZED otherwise.
//
// Threads: operations run on the caller's thread and block it (configure for
// as long as its formats take). No operation throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Domain.h"
#include "ServiceImpl.h"
#include "Status.h"

namespace nork {
class CDeviceHandle;
class CQzPrivateCommand;
class CProgressCallback;
class CStatusCallback;
}  // namespace nork

namespace nork::qz {

class CUtilsImpl;

// How the services send a command that carries or unlocks a secret: STATUS_OK
// or the failure (STATUS_COMMUNICATION_FAILURE when the drive refused).
class CPrivateAreaExec {
  public:
    virtual ~CPrivateAreaExec() = default;
    virtual STATUS execute(CQzPrivateCommand& command, CDeviceHandle& handle,
                           CDomainAddress& address) = 0;
};

// Sends the command as it is.
class CPlainPrivateAreaExec : public CPrivateAreaExec {
  public:
    STATUS execute(CQzPrivateCommand& command, CDeviceHandle& handle,
                   CDomainAddress& address) override;
};

// Sends the command by the secure-session rules for a private-area command:
// inside an open private-area session of the domain's LUN, else plainly.
class CSessionPrivateAreaExec : public CPrivateAreaExec {
  public:
    explicit CSessionPrivateAreaExec(CUFDImpl* device) : m_device(device) {}
    STATUS execute(CQzPrivateCommand& command, CDeviceHandle& handle,
                   CDomainAddress& address) override;

  private:
    CUFDImpl* m_device;
};

using PasswordForm = std::array<std::uint8_t, 16>;

// The new layout of a domain's private area for configure.
struct CPrivateAreaConfig {
    std::uint64_t privateBytes = 0;  // 0: remove the private area
    std::u16string password;
    std::string privateLabel;
    std::string publicLabel;
};

class CPrivateAreaImpl : public CServiceImpl {
  public:
    static constexpr std::uint16_t SERVICE_ID = 12;
    static constexpr std::uint16_t SERVICE_ID_COOKIES = 8;
    static constexpr std::uint16_t SERVICE_ID_UTILITIES = 20;
    static constexpr std::size_t MAX_HINT_LENGTH = 32;
    static constexpr const char* HINT_SECTION = "SDK_PA_API_HINT_SECTION";
    static constexpr const char* HINT_ENTRY = "SDK_PA_API_HINT_ENTRY";
    static constexpr std::uint32_t SECTOR_SIZE = 512;
    static constexpr std::uint32_t ROOT_SPECIFIC_SIZE = 4;

    explicit CPrivateAreaImpl(std::int16_t version);
    ~CPrivateAreaImpl() override;
    std::unique_ptr<CZykAPI> clone() const override;
    void attach(CUFDImpl* device) override;
    // Sends one private command on the handle: STATUS_OK or
    // STATUS_COMMUNICATION_FAILURE.
    virtual STATUS execute(CDeviceHandle& handle, CQzPrivateCommand& command);
    // Turns a private area that fills its domain into the domain's public
    // content. 0 without a private area.
    virtual STATUS makePublic(CDomainAddress& address, const char16_t* password, bool lock);
    virtual STATUS login(CDeviceHandle& handle, CDomainAddress& address,
                         const std::uint8_t* password, CPrivateAreaExec* exec);
    virtual STATUS logout(CDeviceHandle& handle, CDomainAddress& address);
    // In bytes.
    virtual STATUS getAreaSizes(CDomainAddress& address, std::uint64_t& privateBytes,
                                std::uint64_t& publicBytes);
    virtual STATUS getConfigurationBoundaries(std::uint64_t& bytes);
    // The hint (at most 32 characters) is stored when the password changed.
    virtual STATUS changePassword(CDomainAddress& address, const char16_t* oldPassword,
                                  const char16_t* newPassword, const char16_t* hint);
    virtual STATUS getAreaValue4(CDeviceHandle& handle, CDomainAddress& address,
                                 std::uint32_t& value);
    // The first 4 bytes of the service's root-specific fields.
    virtual STATUS getRootSpecificFields(std::uint8_t* fields);
    // In bytes.
    virtual STATUS calculateClosestValidSize(CDomainAddress& address, std::uint64_t bytes,
                                             std::uint64_t& valid);
    virtual STATUS isLoggedIn(CDeviceHandle& handle, CDomainAddress& address, bool& loggedIn);
    virtual STATUS isConfigured(CDeviceHandle& handle, CDomainAddress& address, bool& configured);

    // The domain's area parameters in one query.
    struct AreaParameters {
        std::uint32_t domainSectors = 0;
        std::uint32_t privateSectors = 0;
        bool loggedIn = false;
        std::uint32_t value4 = 0;
    };
    STATUS getAreaParameters(CDeviceHandle& handle, CDomainAddress& address, AreaParameters& out);

    // Creates, resizes (size other than 0) or removes (size 0) the private
    // area, then formats the parts as asked. Failures also go to `callback`.
    STATUS configure(CDeviceHandle& handle, CDomainAddress& address,
                     const CPrivateAreaConfig& config, CProgressCallback* progress,
                     CStatusCallback* callback, bool force, bool format);
    // The forced removal the configuration service uses.
    STATUS removeForced(CDeviceHandle& handle, CDomainAddress& address, bool force, bool format);
    // An empty hint removes the stored one.
    STATUS setHint(CDomainAddress& address, const char16_t* hint, bool skipDomainCheck);
    STATUS getHint(CDomainAddress& address, std::u16string& hint);
    // The key of a domain's hint cookie.
    static std::string hintKey(std::uint8_t index);
    // The 16-byte form of a wide password.
    static STATUS passwordForm(const char16_t* password, PasswordForm& out);

    // Where secrets are sent; null restores the secure-session rules. Not
    // owned.
    void setExec(CPrivateAreaExec* exec) { m_exec = exec; }

    enum class SecretPolicy {
        // In an open private-area session of the domain's LUN, else plain.
        SessionRules,
        // Only while such a session is open: without one the command is not
        // sent (STATUS_SS_NOT_INITIALIZED). A payload that is no whole
        // number of cipher blocks (the configure command's 20 bytes) cannot
        // be encrypted: it goes plain, on the caller's handle, to the drive
        // the open session authenticated.
        OnlyInSession,
    };
    void setSecretPolicy(SecretPolicy policy) { m_policy = policy; }
    SecretPolicy secretPolicy() const { return m_policy; }

    // STATUS_WRONG_PARAMETERS when a private area of `bytes` (other than 0)
    // does not fit the domain; configure checks it before it changes
    // anything, callers may ask first (before they ask their user).
    STATUS checkPrivateSize(CDeviceHandle& handle, CDomainAddress& address, std::uint64_t bytes);

  protected:
    CPrivateAreaImpl(const CPrivateAreaImpl& other);
    CPrivateAreaImpl(std::uint16_t serviceId, std::int16_t version);

    // The platform's user privilege (CPlatformFactory::PRIV_*).
    virtual bool privilege(int which) const;

    STATUS checkDomain(CDeviceHandle& handle, CDomainAddress& address);
    STATUS sendSecret(CQzPrivateCommand& command, CDeviceHandle& handle, CDomainAddress& address,
                      CPrivateAreaExec* exec = nullptr);
    std::shared_ptr<CUtilsImpl> utilities() const;
    std::unique_ptr<CDeviceHandle> openPlain() const;

  private:
    // Whether a private-area session of the domain's LUN is open.
    bool sessionOpenFor(CDomainAddress& address) const;

    CPrivateAreaExec* m_exec = nullptr;
    SecretPolicy m_policy = SecretPolicy::SessionRules;
};

}  // namespace nork::qz
