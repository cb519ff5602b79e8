#include "restore/RestoreQzApp.h"

#include <string>

#include "guilib/src/Properties.h"
#include "guilib/src/UTMLString.h"
#include "port/DeviceInventory.h"
#include "port/Locale.h"
#include "port/NamedMutex.h"
#include "port/OsIdentity.h"
#include "port/ProgramIdentity.h"
#include "port/Utf.h"
#include "port/emu/EmuDeviceBackend.h"
#include "restore/LanguageUtils.h"
#include "restore/QzLog.h"
#include "restore/RestoreControls.h"
#include "restore/RestoreQzDlg.h"

namespace nork::restore {

namespace {

constexpr int kLanguageMarkerId = 3001;
constexpr int kCaptionId = 3019;
constexpr int kOsRefusedId = 3016;
constexpr int kAdminRefusedId = 3024;
constexpr int kNotRemovableId = 3014;
// The own-path buffer of the start-up checks, in characters.
constexpr std::size_t kMaxPath = 260;

std::u16string programPath() {
    std::u16string path = port::moduleFileName();
    if (path.size() >= kMaxPath)
        return {};
    return path;
}

// A skin switch: decimal, and 1 when the document, element or value is missing.
int generalSwitch(std::string_view name) {
    const gui::CProperties& skin = gui::CProperties::instance();
    if (!skin.isLoaded())
        return 1;
    const gui::CSkinElement general = skin.GetGeneral();
    const auto value = skin.GetGeneralValue(general, name);
    if (!value || value->empty())
        return 1;
    long result = 0;
    std::size_t i = 0;
    bool negative = false;
    if (i < value->size() && ((*value)[i] == u'-' || (*value)[i] == u'+'))
        negative = (*value)[i++] == u'-';
    for (; i < value->size() && (*value)[i] >= u'0' && (*value)[i] <= u'9' && result < 100000000;
         ++i)
        result = result * 10 + ((*value)[i] - u'0');
    return static_cast<int>(negative ? -result : result);
}

}  // namespace

CRestoreQzApp::CRestoreQzApp() = default;

CRestoreQzApp::~CRestoreQzApp() {
    if (instanceMutex_ && instanceLocked_)
        instanceMutex_->unlock();
}

bool CRestoreQzApp::InitInstance() {
    // Common controls and control containment need nothing here.
    QzLog::instance().init(u"RestoreQz");
    QZLOG("Init Restore");
    InitApplib();
    if (!CheckInstance()) {
        outcome_ = Outcome::SecondInstance;
        return false;
    }
    if (!CheckOsVersion()) {
        outcome_ = Outcome::OsRefused;
        return false;
    }
    if (!CheckAdministrator()) {
        outcome_ = Outcome::AdminRefused;
        return false;
    }
    if (!CheckRemovableDrive()) {
        outcome_ = Outcome::NotRemovable;
        return false;
    }
    outcome_ = Outcome::DialogShown;
    RunMainDialog();
    return false;
}

void CRestoreQzApp::InitApplib() {
    gui::CUTMLString& strings = gui::CUTMLString::instance();
    strings.InitLanguages(kLanguageMarkerId);
    strings.SetLanguage(
        CLanguageUtils::FindMatchingResourceLanguage(port::systemDefaultLanguage()));
    QZLOG("InitApplib - Current language ID is - %d", int{strings.currentLanguage()});
    if (!gui::CProperties::instance().load(skinResourceId_))
        QzLog::instance().log(QZLOG_ERROR, "CProperties Initialization - FAIL!!!!\n");
}

bool CRestoreQzApp::CheckInstance() {
    const std::u16string path = programPath();
    if (path.empty())
        return true;
    std::string name = "Global\\RestoreQzMutex-Drive";
    name += port::utf::toUtf8(path.substr(0, 1));
    std::unique_ptr<port::NamedMutex> mutex;
    if (port::NamedMutex::create(name, mutex))
        return true;  // no mutex to be had: nothing says another copy runs
    if (port::PortError e = mutex->tryLock())
        return e.code != port::PortErrc::Busy;
    instanceMutex_ = std::move(mutex);
    instanceLocked_ = true;
    return true;
}

bool CRestoreQzApp::CheckOsVersion() {
    const port::OsIdentity identity = port::osIdentity();
    const port::OsVersionRecord& v = identity.version;
    if (v.source == port::OsVersionRecord::Source::None) {
        ShowStartupMessage(nullptr, kOsRefusedId, kCaptionId, 1);
        return false;
    }
    // At least 5.0 with service pack 4, compared field by field from the top.
    const bool recentEnough =
        v.majorVersion > 5 ||
        (v.majorVersion == 5 && (v.minorVersion > 0 || v.servicePackMajor >= 4));
    if (v.majorVersion < 5 || !recentEnough) {
        QZLOG("RestoreQz service does not run on this version of Windows.!\n");
        ShowStartupMessage(nullptr, kOsRefusedId, kCaptionId, 1);
        return false;
    }
    const int major = static_cast<int>(v.majorVersion);
    const int minor = static_cast<int>(v.minorVersion);
    if (major != 5) {
        vista_ = true;
        QZLOG("OS version: Windows Vista, minor version %d %d %s", major, minor, v.csdVersion);
    } else if (minor == 0) {
        windows2000_ = true;
        QZLOG("OS version: Windows 2000 %s\n", v.csdVersion);
    } else if (minor == 1) {
        QZLOG("OS version: Windows XP %s\n", v.csdVersion);
    } else if (minor == 2) {
        QZLOG("OS version: Windows 2003 %s\n", v.csdVersion);
    } else {
        QZLOG("OS major version: 5, minor version: %d %s", minor, v.csdVersion);
    }
    return true;
}

bool CRestoreQzApp::CheckAdministrator() {
    if (vista_ || port::isAdministrator())
        return true;
    if (generalSwitch(windows2000_ ? "RunWin2kGuest" : "RunAllSysstemsGuest") != 0)
        return true;
    ShowStartupMessage(nullptr, kAdminRefusedId, kCaptionId, 1);
    return false;
}

bool CRestoreQzApp::CheckRemovableDrive() {
    // The system knows its drives before the library starts: an emulated
    // drive's volume must count as removable here too, so its backend joins
    // the inventory now (the library's start-up does the same later).
    port::emu::registerEmulatorBackendIfPresent();
    const std::u16string path = programPath();
    bool removable = false;
    if (!path.empty()) {
        std::u16string root = path.substr(0, 1);
        root += u":\\";
        removable = port::driveType(root) == port::DRIVE_REMOVABLE;
    }
    if (!removable)
        ShowStartupMessage(nullptr, kNotRemovableId, kCaptionId, 0);
    return removable;
}

void CRestoreQzApp::RunMainDialog() {
    RegisterRestoreDialogTemplate();
    CRestoreQzDlg dialog(nullptr);
    dialog.DoModal();
}

CRestoreQzApp& theApp() {
    static CRestoreQzApp app;
    return app;
}

}  // namespace nork::restore
