// Device-path builders: the path a handle opens for a drive, built from its
// drive letters ("\\.\E:"), one builder per LUN index, handed out by the
// platform factory. The 2000-and-later builder also finds the drive root of
// a device interface path.
//
// Builders keep no state after construction; getPath and
// findDriveByInterfacePath may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Status.h"
#include "port/SettingsHive.h"

namespace nork {

class CDeviceParams;

class CDevicePath {
  public:
    // Which LUN a root shows, as the volume query of the utilities service
    // answers it; tests and that service plug it in.
    using VolumeQuery = std::function<std::uint32_t(std::u16string_view root)>;

    // A filter of 0 selects by the caller's letter selector; any other value
    // accepts only roots whose volume query answers it.
    explicit CDevicePath(std::uint32_t filter = 0);
    virtual ~CDevicePath();
    CDevicePath(const CDevicePath&) = delete;
    CDevicePath& operator=(const CDevicePath&) = delete;

    // Writes the device path of the params' drive into the buffer (length in
    // characters, terminator included). `selector` is a letter index (0 =
    // 'A') or -1 for any letter.
    virtual STATUS getPath(const CDeviceParams& params, char16_t* buffer, std::uint32_t length,
                           int selector) = 0;
    // Whether a root ("E:\") may give the path: `defaultAnswer` (the
    // selector's verdict) without a filter, else the volume query's answer
    // compared with the filter. Without a volume query nothing passes a
    // filter.
    virtual bool acceptsLetter(std::u16string_view root, bool defaultAnswer);

    std::uint32_t filter() const { return m_filter; }
    // The process's volume query (null removes it).
    static void setVolumeQuery(VolumeQuery query);

  protected:
    // The first letter of the mask that acceptsLetter takes, or 0.
    char16_t firstAcceptedLetter(std::uint32_t mask, int selector);

  private:
    std::uint32_t m_filter;
};

// Windows 2000 and later (and the default): "\\.\E:".
class CDevicePathWin2k : public CDevicePath {
  public:
    // Letters of device paths the record does not know; by default the
    // port's storage units.
    using LetterLookup = std::function<char16_t(std::u16string_view pathFragment)>;

    // The hive (HKLM "SYSTEM\MountedDevices") must outlive the builder.
    explicit CDevicePathWin2k(std::uint32_t filter = 0,
                              port::SettingsHive& hive = port::SettingsHive::processDefault(),
                              LetterLookup fallback = {});

    // STATUS_PATH_ERROR for an empty mask or when no letter is accepted,
    // STATUS_BUFFER_TOO_SMALL below 7 characters.
    STATUS getPath(const CDeviceParams& params, char16_t* buffer, std::uint32_t length,
                   int selector) override;

    // The root ("E:\") of the drive whose mounted-devices record holds the
    // interface path (its first four characters dropped). Where no record
    // names it, the port's storage units are asked too: nobody keeps that
    // record on this platform. STATUS_ERROR when neither knows it.
    STATUS findDriveByInterfacePath(std::u16string_view interfacePath, std::u16string& root);

  private:
    port::SettingsHive& m_hive;
    LetterLookup m_fallback;
};

// Windows 98: the symbolic name the USB storage driver registered for the
// drive, found through the dynamic configuration-manager keys. This platform
// has no dynamic root, so those keys are read from HKLM under the same
// names; a thin form kept for the platform table.
class CDevicePathWin98 : public CDevicePath {
  public:
    explicit CDevicePathWin98(std::uint32_t filter = 0,
                              port::SettingsHive& hive = port::SettingsHive::processDefault());
    // STATUS_BUFFER_TOO_SMALL below 128 characters, STATUS_PATH_ERROR when
    // no letter is accepted or no record names the drive.
    STATUS getPath(const CDeviceParams& params, char16_t* buffer, std::uint32_t length,
                   int selector) override;

  private:
    port::SettingsHive& m_hive;
};

// Windows Me: the ASPI layer addresses the drive itself; the path stays
// empty and the answer is STATUS_OK.
class CDevicePathWinMe : public CDevicePath {
  public:
    using CDevicePath::CDevicePath;
    STATUS getPath(const CDeviceParams& params, char16_t* buffer, std::uint32_t length,
                   int selector) override;
};

}  // namespace nork
