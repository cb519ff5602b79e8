// The services the device object registers for drives of the earlier
// product line (namespace zyk) and for any other USB disk (namespace any).
// They are kept minimal: each is a service implementation under its key
// with its service id and version; what each offers is listed in
// docs/zyk-services.md. Operations the earlier line defines but this
// library does not carry answer STATUS_COMMAND_NOT_SUPPORTED without
// touching the drive.
#pragma once

#include <cstdint>
#include <memory>

#include "Status.h"
#include "UFDImpl.h"

namespace nork {

class CPrivateCommand;

// Service ids of the services below. Those shared with the current line
// keep its numbers; the earlier line's own services use 0x101 and up.
namespace service_id {
inline constexpr std::uint16_t CONFIGURATION = 4;
inline constexpr std::uint16_t CD = 6;
inline constexpr std::uint16_t COOKIES = 8;
inline constexpr std::uint16_t CRYPTO = 19;
inline constexpr std::uint16_t UTILITIES = 20;
inline constexpr std::uint16_t DIRECT_COMMUNICATION = 50;
inline constexpr std::uint16_t TWIN = 0x101;
inline constexpr std::uint16_t DEPOSIT = 0x102;
inline constexpr std::uint16_t EXTENDED_DEPOSIT = 0x103;
}  // namespace service_id

// A registered service with an id and a version and nothing else of its own.
class CMinimalServiceImpl : public CZykAPI {
  public:
    CMinimalServiceImpl(std::uint16_t serviceId, std::uint16_t version, const char16_t* name)
        : CZykAPI(CUFDImpl::serviceKey(serviceId)),
          m_serviceId(serviceId),
          m_version(version),
          m_name(name) {}

    std::uint16_t serviceId() const { return m_serviceId; }
    std::uint16_t serviceVersion() const { return m_version; }
    const char16_t* name() const { return m_name; }

    // An operation of the earlier line's interface by number: not carried
    // by this library.
    virtual STATUS request(std::uint32_t operation, std::uint8_t* data, std::uint32_t& length);

  private:
    std::uint16_t m_serviceId;
    std::uint16_t m_version;
    const char16_t* m_name;
};

// Sends a caller's private command to the owning drive through the
// process's executor: STATUS_OK, STATUS_COMMUNICATION_FAILURE when it
// fails, STATUS_DEVICE_NOT_CONNECTED without a device object.
class CDirectCommunicationBase : public CMinimalServiceImpl {
  public:
    using CMinimalServiceImpl::CMinimalServiceImpl;
    STATUS sendCommand(CPrivateCommand& command);
};

// Capacity and LUN count of the owning drive, through its vendor traits.
class CUtilsBase : public CMinimalServiceImpl {
  public:
    using CMinimalServiceImpl::CMinimalServiceImpl;
    STATUS getCapacity(std::uint64_t& bytes);
    STATUS getLunsNum(std::uint32_t& count);
};

// Adds the copy a registry needs to a concrete service.
template <class Derived, class Base>
class TClonableService : public Base {
  public:
    using Base::Base;
    std::unique_ptr<CZykAPI> clone() const override {
        return std::make_unique<Derived>(static_cast<const Derived&>(*this));
    }
};

namespace zyk {
class CUtilsImplZyk : public TClonableService<CUtilsImplZyk, CUtilsBase> {
  public:
    CUtilsImplZyk() : TClonableService(service_id::UTILITIES, 0, u"utilities (Zyk)") {}
};
class CConfigServiceImplZyk : public TClonableService<CConfigServiceImplZyk, CMinimalServiceImpl> {
  public:
    CConfigServiceImplZyk()
        : TClonableService(service_id::CONFIGURATION, 0, u"configuration (Zyk)") {}
};
class CTwinImpl : public TClonableService<CTwinImpl, CMinimalServiceImpl> {
  public:
    CTwinImpl() : TClonableService(service_id::TWIN, 0, u"twin") {}
};
class CCDServiceImplZyk : public TClonableService<CCDServiceImplZyk, CMinimalServiceImpl> {
  public:
    CCDServiceImplZyk() : TClonableService(service_id::CD, 0, u"CD (Zyk)") {}
};
class CDepositImpl : public TClonableService<CDepositImpl, CMinimalServiceImpl> {
  public:
    CDepositImpl() : TClonableService(service_id::DEPOSIT, 0, u"deposit") {}
};
class CExtendedDepositImpl : public TClonableService<CExtendedDepositImpl, CMinimalServiceImpl> {
  public:
    CExtendedDepositImpl()
        : TClonableService(service_id::EXTENDED_DEPOSIT, 0, u"extended deposit") {}
};
// The cookie store, CCookieImplZyk, is in zyk/CookieImplZyk.h.
class CCryptoImplZyk : public TClonableService<CCryptoImplZyk, CMinimalServiceImpl> {
  public:
    CCryptoImplZyk() : TClonableService(service_id::CRYPTO, 0, u"crypto (Zyk)") {}
};
class CDirectCommunicationImplZyk
    : public TClonableService<CDirectCommunicationImplZyk, CDirectCommunicationBase> {
  public:
    CDirectCommunicationImplZyk()
        : TClonableService(service_id::DIRECT_COMMUNICATION, 0, u"direct communication (Zyk)") {}
};
}  // namespace zyk

namespace any {
class CUtilsImplAny : public TClonableService<CUtilsImplAny, CUtilsBase> {
  public:
    CUtilsImplAny() : TClonableService(service_id::UTILITIES, 0, u"utilities (any)") {}
};
class CDirectCommunicationImplAny
    : public TClonableService<CDirectCommunicationImplAny, CDirectCommunicationBase> {
  public:
    CDirectCommunicationImplAny()
        : TClonableService(service_id::DIRECT_COMMUNICATION, 0, u"direct communication") {}
};
}  // namespace any

}  // namespace nork
