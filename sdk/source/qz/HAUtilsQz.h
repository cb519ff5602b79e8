// The current product line's hidden-area access (see HAUtils.h): pages moved
// by the six HA__ commands, the index page password-protected with the fixed
// write and read passwords, page count and area version read from the
// drive's hidden-area service (id 8).
#pragma once

#include <cstdint>
#include <memory>

#include "HAUtils.h"

namespace nork::qz {

// The hidden-area service (id 8) of a drive as the access object sees it:
// its version and its root-specific fields. Made at first need.
class CHASrv {
  public:
    static constexpr std::uint16_t SERVICE_ID = 8;

    explicit CHASrv(CUFDImpl& device) : m_device(device) {}

    // The service's version: the registered service's, else the descriptor's
    // version word; -1 when neither can be had.
    int version();
    // The 16-bit value at the start of the root-specific fields: the page
    // count plus one. Read with a length of 3, again with the length the
    // drive reports when that differs. False when the query fails.
    bool pageCountField(std::uint16_t& value);

  private:
    CUFDImpl& m_device;
};

class CHAUtilsQz : public CHAUtils {
  public:
    static constexpr const char* WRITE_PASSWORD = "TZ4KWLM";
    static constexpr const char* READ_PASSWORD = "TZ4KRLM";
    static constexpr std::uint32_t PASSWORD_SIZE = 7;

    CHAUtilsQz() : CHAUtils(Family::Qz) {}

    std::uint32_t dataPageMode() const override { return MODE_QZ_DATA; }
    bool writePage(CDeviceHandle& handle, const std::uint8_t* page, std::uint16_t number) override;
    bool readPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                  std::uint16_t number) override;
    // With the fixed write password.
    bool writeProtectedPage(CDeviceHandle& handle, const std::uint8_t* page,
                            std::uint16_t number) override;
    // With the fixed read password; the mode is not sent.
    bool readProtectedPage(CDeviceHandle& handle, std::uint8_t* buffer, std::uint32_t mode,
                           std::uint16_t number) override;

    bool hasPagePasswords() const override { return true; }
    bool setWritePassword(CDeviceHandle& handle, std::uint16_t page) override;
    bool setReadPassword(CDeviceHandle& handle, std::uint16_t page) override;

  protected:
    // The service's page count field minus 1; 0 when the query fails.
    std::uint16_t queryPageCount() override;
    // Service version 0, 1 or 2 -> 2; 3 -> 3; anything else -> 0.
    int queryAreaVersion() override;

  private:
    CHASrv* service();
    std::unique_ptr<CHASrv> m_service;
};

}  // namespace nork::qz
