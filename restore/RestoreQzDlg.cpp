#include "restore/RestoreQzDlg.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Domain.h"
#include "SDK.h"
#include "WMListeningMgr.h"
#include "guilib/src/UTMLString.h"
#include "port/DeviceInventory.h"
#include "port/Messages.h"
#include "port/ProgramIdentity.h"
#include "port/System.h"
#include "qz/ConfigService.h"
#include "qz/Cookie.h"
#include "restore/QzLog.h"
#include "restore/RestoreQzApp.h"

namespace nork::restore {

using namespace nork::gui;

namespace {

constexpr int kPathChars = 260;

std::mutex g_hooksMutex;
std::function<bool()> g_adminTest;
std::function<std::u16string()> g_ownPath;

bool isAdministrator() {
    std::function<bool()> test;
    {
        std::lock_guard<std::mutex> lock(g_hooksMutex);
        test = g_adminTest;
    }
    return test ? test() : port::isAdministrator();
}

std::u16string ownPath() {
    std::function<std::u16string()> provider;
    {
        std::lock_guard<std::mutex> lock(g_hooksMutex);
        provider = g_ownPath;
    }
    std::u16string path = provider ? provider() : port::moduleFileName();
    if (path.size() > kPathChars)
        return {};
    return path;
}

// String tables hold small decimal flags ("0", "1").
int parseInt(const std::u16string& text) {
    std::string digits;
    for (char16_t c : text)
        if (c < 0x80)
            digits += static_cast<char>(c);
    return std::atoi(digits.c_str());
}

// A result text: the string used as a format with one integer argument.
std::u16string formatResult(const std::u16string& format, int code) {
    std::u16string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            if (format[i + 1] == u'd') {
                for (char c : std::to_string(code))
                    out += static_cast<char16_t>(c);
                ++i;
                continue;
            }
            if (format[i + 1] == u'%') {
                out += u'%';
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

void reportResult(port::HWND hwnd, int id, int ok) {
    port::postMessage(hwnd, WM_RESTORE_FINISHED, static_cast<std::uintptr_t>(id), ok);
}

}  // namespace

std::atomic<std::int64_t> CRestoreQzDlg::s_workerThreadId{-1};

void RegisterRestoreDialogTemplate() {
    DialogTemplate t;
    t.style = 0x90080048;  // popup, visible, system menu, set-font, fixed-system-font
    t.exStyle = WS_EX_APPWINDOW;
    t.cx = 198;
    t.cy = 185;
    t.fontFace = u"MS Shell Dlg";
    t.pointSize = 8;
    t.charSet = 1;
    auto item = [](int id, const char16_t* cls, std::uint32_t style, int x, int y, int cx, int cy,
                   const char16_t* text) {
        DialogItemTemplate i;
        i.id = id;
        i.className = cls;
        i.style = WS_CHILD | style;
        i.x = x;
        i.y = y;
        i.cx = cx;
        i.cy = cy;
        i.text = text;
        return i;
    };
    t.items = {
        item(IDOK, CLASS_BUTTON, WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 141, 164, 50, 14,
             u"Cancel"),
        item(IDC_RESTORE_BUTTON, CLASS_BUTTON, WS_VISIBLE | WS_TABSTOP, 79, 164, 50, 14,
             u"Restore"),
        item(IDC_RESTORE_INTRO_TEXT, CLASS_STATIC, WS_VISIBLE, 7, 14, 158, 53, u"Static"),
        item(IDC_PROGRESS_STATIC, CLASS_STATIC, 0, 7, 77, 176, 30, u"Static"),
        item(IDC_LEARN_MORE_LINK, CLASS_STATIC, WS_VISIBLE, 7, 67, 161, 8, u"Learn more"),
        item(IDC_EXPLAIN_TEXT_2, CLASS_STATIC, WS_VISIBLE, 7, 132, 184, 27, u"Static"),
        item(IDC_OPTOUT_PROGRESS, CLASS_PROGRESS, WS_VISIBLE | WS_BORDER, 43, 110, 80, 14,
             u"Progress"),
        item(IDC_X_BUTTON, CLASS_BUTTON, WS_VISIBLE, 169, 62, 22, 14, u"X"),
        item(IDC_LOGO, CLASS_STATIC, WS_VISIBLE, 175, 97, 16, 8, u""),
        item(-1, CLASS_STATIC, WS_VISIBLE | SS_BITMAP, 168, 7, 23, 20, u""),
    };
    t.items.back().imageId = IDB_TEMPLATE_BITMAP;
    registerDialogTemplate(IDD_RESTOREQZ_DIALOG, std::move(t));
}

bool CJxDeviceFlusher::FlushAll(const std::u16string& drive) {
    if (!theApp().IsWindows2000())
        return true;
    const std::u16string path = drive + u":\\";
    if (port::rootDirectory(path).empty()) {
        QZLOG(
            "Failed to flush data to the device - error opening handle to drive %s, error "
            "code (%d)",
            drive, 3);  // ERROR_PATH_NOT_FOUND
        return false;
    }
    const bool flushed = !port::flushVolume(path);
    QZLOG("CJxDeviceFlusher::FlushAll - Flush of \"%s\" returned %s\n", path,
          std::u16string(flushed ? u"true" : u"false"));
    return true;
}

void CRestoreQzDlg::setAdministratorTest(std::function<bool()> test) {
    std::lock_guard<std::mutex> lock(g_hooksMutex);
    g_adminTest = std::move(test);
}

void CRestoreQzDlg::setOwnPathProvider(std::function<std::u16string()> provider) {
    std::lock_guard<std::mutex> lock(g_hooksMutex);
    g_ownPath = std::move(provider);
}

CRestoreQzDlg::CRestoreQzDlg(CWnd* parent)
    : CGUIDialog(IDD_RESTOREQZ_DIALOG, parent), m_shared(std::make_shared<Shared>()) {}

CRestoreQzDlg::~CRestoreQzDlg() {
    QZLOG("~CRestoreQzDlg - close dialog\n");
    AbandonWorker();
    if (m_bOwnDeviceFound) {
        SDK::fini();
        m_bOwnDeviceFound = false;
    }
}

bool CRestoreQzDlg::OnInitDialog() {
    CGUIDialog::OnInitDialog();
    SetIcon(128);

    struct Entry {
        CWnd* window;
        CSkinLayout* layout;
        int id;
    } entries[] = {
        {&m_lblProgress, &m_lblProgress, IDC_PROGRESS_STATIC},
        {&m_btnRestore, &m_btnRestore, IDC_RESTORE_BUTTON},
        {&m_btnCancel, &m_btnCancel, IDOK},
        {&m_btnX, &m_btnX, IDC_X_BUTTON},
        {&m_lblIntro, &m_lblIntro, IDC_RESTORE_INTRO_TEXT},
        {&m_lblExplain, &m_lblExplain, IDC_EXPLAIN_TEXT_2},
        {&m_progress, &m_progress, IDC_OPTOUT_PROGRESS},
        {&m_lnkLearnMore, &m_lnkLearnMore, IDC_LEARN_MORE_LINK},
        {&m_logo, &m_logo, IDC_LOGO},
    };
    for (const Entry& e : entries) {
        e.window->SubclassDlgItem(e.id, this);
        AddControl(e.window, e.layout, e.id);
    }
    m_btnRestore.SetDrawFocusRect(false);
    m_btnCancel.SetDrawFocusRect(false);
    m_btnX.SetDrawFocusRect(false);

    m_lnkLearnMore.SetLink(3008, 3009);
    m_lnkLearnMore.ApplyLayout();

    m_progress.SetBarImages(401, 400, "GIF");
    m_progress.SetBorder(false);
    m_progress.SetRange(0, 100);
    m_progress.ShowText(false);

    SetWindowText(LoadLocalizedString(3000));

    m_btnRestore.PositionText();
    m_btnCancel.PositionText();
    m_btnCancel.SetMinWidth(m_btnRestore.GetMinWidth());

    if (IsRightToLeft())
        ModifyStyleEx(0, WS_EX_RTLREADING | WS_EX_RIGHT);

    StopProgress();
    m_nProgressPos = 0;

    ArrangeControls();
    CenterWindow();
    SetTimer(TIMER_PRESENCE, 600);
    m_shared->hwnd = GetSafeHwnd();
    return true;
}

// Disarms the animation and hides the progress text and bar.
void CRestoreQzDlg::StopProgress() {
    if (m_bAnimating)
        KillTimer(TIMER_PROGRESS);
    m_bAnimating = false;
    m_progress.ShowWindow(false);
    m_lblProgress.ShowWindow(false);
}

void CRestoreQzDlg::Quit() {
    port::postQuitMessage(0);
}

bool CRestoreQzDlg::OnCommand(int id, int notifyCode) {
    if (notifyCode == BN_CLICKED && id == IDC_RESTORE_BUTTON) {
        OnRestoreClick();
        return true;
    }
    if (notifyCode == BN_CLICKED && id == IDC_X_BUTTON) {
        Quit();
        return true;
    }
    return CGUIDialog::OnCommand(id, notifyCode);
}

void CRestoreQzDlg::OnRestoreClick() {
    m_lblExplain.ShowWindow(false);
    ShowResultMessageBox(this, LoadLocalizedString(3020), LoadLocalizedString(3019), 0);

    m_btnRestore.EnableWindow(false);
    m_btnCancel.EnableWindow(false);
    m_btnX.EnableWindow(false);
    m_bCloseDisabled = true;

    m_lblProgress.SetWindowText(LoadLocalizedString(3004));
    m_lblProgress.ShowWindow(true);
    m_progress.ShowWindow(true);
    SetTimer(TIMER_PROGRESS, 600);
    m_bAnimating = true;
    m_nProgressPos = 0;

    if (!m_bOwnDeviceFound) {
        QZLOG("CRestoreQzDlg - Init ADAPI\n");
        std::uint32_t settings = 0;
        SDK::init(settings, LogConfig{});
        CWMListeningMgr::instance().addHWNDListener(GetSafeHwnd(), nullptr);
    }
}

void CRestoreQzDlg::OnTimer(std::uintptr_t id) {
    switch (id) {
        case TIMER_PROGRESS:
            m_nProgressPos += 10;
            m_bAnimating = true;
            m_progress.SetPos(m_nProgressPos);
            if (m_nProgressPos == 100)
                m_nProgressPos = 0;
            break;
        case TIMER_PRESENCE:
            VerifyDeviceIsStillThere();
            break;
        case TIMER_OPTIN_TIMEOUT:
            OnOptInTimeout();
            break;
        default:
            CGUIDialog::OnTimer(id);
    }
}

std::intptr_t CRestoreQzDlg::WindowProc(std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t lParam) {
    switch (message) {
        case WM_RESTORE_FINISHED:
            return OnRestoreThreadFinish(wParam, lParam);
        case WM_DEVICE_CONNECTED:
            OnDeviceConnected(wParam);
            return 0;
        case WM_DEVICE_DISCONNECTED:
            OnDeviceDisconnected(wParam);
            return 0;
        case WM_DEVICE_UPDATED:
            OnDeviceUpdated(wParam, lParam);
            return 0;
        default:
            return CGUIDialog::WindowProc(message, wParam, lParam);
    }
}

// The window manager's close stands for the system menu's Close, which is
// greyed while a restore runs.
void CRestoreQzDlg::onCloseRequest() {
    if (m_bCloseDisabled)
        return;
    CGUIDialog::onCloseRequest();
}

// The window has no caption bar: a press on its free area moves it.
void CRestoreQzDlg::onMouseDown(Point client, bool doubleClick) {
    if (doubleClick || !native())
        return;
    const Rect frame = GetWindowRect();
    native()->beginMoveDrag(Point{frame.left + client.x, frame.top + client.y});
}

void CRestoreQzDlg::OnDeviceConnected(std::uintptr_t id) {
    if (m_bOwnDeviceFound) {
        m_btnRestore.EnableWindow(true);
        return;
    }
    QZLOG("CRestoreQzDlg::OnDeviceConnected - connect to device\n");
    if (!isAdministrator()) {
        QZLOG("CRestoreQzDlg::OnDeviceConnected - setting m_bDeviceShouldBeAvailable = FALSE\n");
        m_shared->deviceShouldBeAvailable = false;
    }
    CUFD device = CWMListeningMgr::instance().getCUFD(static_cast<std::uint32_t>(id));
    QZLOG("CRestoreQzDlg::OnDeviceConnected - calling GetDeviceRemovable");
    if (!GetDeviceRemovable(device)) {
        QZLOG("CRestoreQzDlg::OnDeviceConnected - failed on GetDeviceRemovable");
        return;
    }
    if (!m_strDrive.empty()) {
        m_nDeviceId = static_cast<std::uint32_t>(id);
        m_device = device;
        m_bOwnDeviceFound = true;
        RestoreQzDevice();
    }
}

bool CRestoreQzDlg::GetDeviceRemovable(const CUFD& device) {
    m_strDrive.clear();
    const std::u16string path = ownPath();
    if (path.empty())
        return false;

    std::vector<char16_t> buffer(kPathChars + 1, 0);
    std::uint32_t size = kPathChars;
    const STATUS status = device.getPathStrings(buffer.data(), size);
    if (status != STATUS_OK) {
        ShowResultMessage(3013, static_cast<int>(status));
        Quit();
        return false;
    }
    QZLOG("GetDeviceRemovable - calling to getPathStrings get %d removables", size);
    for (std::uint32_t i = 0; i < size && i < buffer.size(); i += 4) {
        const char16_t letter = buffer[i];
        if (letter == 0)
            break;
        std::u16string root(1, letter);
        root += u":\\";
        QZLOG("GetDeviceRemovable - cur drive %s cur index %d", root, i);
        if (letter == path[0] && port::driveType(root) == port::DRIVE_REMOVABLE) {
            m_strDrive.assign(1, letter);
            break;
        }
    }
    if (!m_strDrive.empty())
        return true;
    QZLOG("Device connect - ignoring device that is not mine");
    return false;
}

void CRestoreQzDlg::RestoreQzDevice() {
    if (m_workerStarted)
        return;
    m_shared->device = m_device;
    m_shared->hwnd = GetSafeHwnd();
    m_shared->timeoutMs = m_optInTimeoutMs;
    try {
        m_hWorker = std::thread(&CRestoreQzDlg::OptInThreadFunc, m_shared);
        m_workerStarted = true;
    } catch (...) {
        QZLOG("CRestoreQzDlg::RestoreQzDevice - failed to create thread\n");
    }
}

void CRestoreQzDlg::OptInThreadFunc(std::shared_ptr<Shared> shared) {
    s_workerThreadId = static_cast<std::int64_t>(port::currentThreadId());
    const port::HWND hwnd = shared->hwnd;
    QZLOG("CRestoreQzDlg::OptInThreadFunc - start\n");
    port::setTimer(hwnd, TIMER_OPTIN_TIMEOUT, shared->timeoutMs);
    QZLOG("CRestoreQzDlg::OptInThreadFunc - Set Timeout to %d milisec \n", shared->timeoutMs);

    qz::CConfigService config(shared->device);
    CDomainList domains;
    port::killTimer(hwnd, TIMER_OPTIN_TIMEOUT);

    if (config.getDomains(domains) != STATUS_OK) {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - failed to get domains\n");
        reportResult(hwnd, 3002, 0);
        return;
    }
    if (domains.count() != 1) {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - more than one domain - no need to optout\n");
        reportResult(hwnd, 3003, 0);
        return;
    }
    std::uint64_t freeBytes = 0;
    if (config.getFreeCapacity(freeBytes) != STATUS_OK) {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - failed to get capacity\n");
        reportResult(hwnd, 3015, 0);
        return;
    }
    if (freeBytes == 0) {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - failed to add domain\n");
        reportResult(hwnd, 3023, 0);
        return;
    }
    qz::CCookie cookie(shared->device);
    std::int32_t optedOut = 0;
    if (cookie.getInt(u"Jx App", u"OptedOut", optedOut) != STATUS_OK) {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - failed to find OO cookie\n");
        reportResult(hwnd, 3023, 0);
        return;
    }

    port::setTimer(hwnd, TIMER_OPTIN_TIMEOUT, shared->timeoutMs);
    shared->deviceShouldBeAvailable = false;
    shared->waitingForUpdate = true;

    CDomain domain(DOMAIN_TYPE_CD, freeBytes, 0);
    if (config.addDomain(domain, 9, nullptr) == STATUS_OK) {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - finished successefully\n");
        reportResult(hwnd, 3005, 1);
    } else {
        QZLOG("CRestoreQzDlg::OptInThreadFunc - failed to add domain\n");
        reportResult(hwnd, 3006, 0);
    }
    port::killTimer(hwnd, TIMER_OPTIN_TIMEOUT);
}

std::intptr_t CRestoreQzDlg::OnRestoreThreadFinish(std::uintptr_t id, std::intptr_t ok) {
    ShowResultMessage(static_cast<int>(id), static_cast<int>(id));
    if (ok) {
        QZLOG("CRestoreQzDlg::OnRestoreThreadFinish - finished restore\n");
        m_bRestoreSucceeded = true;
        HandleRestoreFinish();
    } else {
        QZLOG("CRestoreQzDlg::OnRestoreThreadFinish - failed to restore\n");
        Quit();
    }
    m_btnRestore.EnableWindow(true);
    m_btnCancel.EnableWindow(true);
    m_btnX.EnableWindow(true);
    m_bCloseDisabled = false;
    return 0;
}

void CRestoreQzDlg::ShowResultMessage(int id, int code) {
    StopProgress();
    ShowResultMessageBox(this, formatResult(LoadLocalizedString(id), code),
                         LoadLocalizedString(3019), 0);
}

void CRestoreQzDlg::OnDeviceUpdated(std::uintptr_t id, std::intptr_t event) {
    if (id != m_nDeviceId)
        return;
    QZLOG("OnDeviceUpdated - update device event %d\n", static_cast<long long>(event));
    if (m_shared->waitingForUpdate) {
        m_bDeviceUpdated = true;
        HandleRestoreFinish();
        m_shared->waitingForUpdate = false;
    }
}

void CRestoreQzDlg::HandleRestoreFinish() {
    if (!m_bRestoreSucceeded || !m_bDeviceUpdated)
        return;
    if (parseInt(LoadLocalizedString(3022)) != 0) {
        QZLOG("HandleRestoreFinish - Should run intro again - rename back to intro.xml");
        const std::string root = port::rootDirectory(m_strDrive + u":\\");
        if (!root.empty()) {
            // As MoveFileW: an existing target or a missing source changes nothing.
            std::error_code ec;
            const std::filesystem::path from =
                std::filesystem::path(root) / "system" / "Intro.orig.xml";
            const std::filesystem::path to = std::filesystem::path(root) / "system" / "Intro.xml";
            if (std::filesystem::exists(from, ec) && !std::filesystem::exists(to, ec))
                std::filesystem::rename(from, to, ec);
        }
        CJxDeviceFlusher::FlushAll(m_strDrive);
    }
    Quit();
}

bool CRestoreQzDlg::VerifyDeviceIsStillThere() {
    if (!m_shared->deviceShouldBeAvailable)
        return true;
    if (m_strRootPath.empty()) {
        const std::u16string path = ownPath();
        if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\')
            m_strRootPath = path.substr(0, 3);
    }
    std::u16string root;
    if (!m_strRootPath.empty())
        root.assign(1, m_strRootPath[0]);
    root += u":\\";
    std::uint64_t freeBytes = 0, totalBytes = 0;
    if (port::diskFreeSpace(root, freeBytes, totalBytes)) {
        QZLOG("CRestoreQzDlg::VerifyDeviceIsStillThere - device was probably pulled out\n");
        if (m_bAnimating)
            KillTimer(TIMER_PROGRESS);
        m_bAnimating = false;
        Quit();
        return false;
    }
    return true;
}

void CRestoreQzDlg::OnDeviceDisconnected(std::uintptr_t id) {
    QZLOG("CRestoreQzDlg::OnDeviceDisconnected");
    if (id != m_nDeviceId)
        return;
    QZLOG("CRestoreQzDlg::OnDeviceDisconnected - current device\n");
    m_bOwnDeviceFound = false;
    m_btnRestore.EnableWindow(false);
    Quit();
}

// The worker may sit in a drive command that never returns; it is left
// behind (it holds its own reference to what it uses) and the program ends.
void CRestoreQzDlg::AbandonWorker() {
    if (m_hWorker.joinable())
        m_hWorker.detach();
    s_workerThreadId = -1;
}

void CRestoreQzDlg::OnOptInTimeout() {
    KillTimer(TIMER_OPTIN_TIMEOUT);
    if (m_workerStarted)
        AbandonWorker();
    ShowResultMessage(3002, 1027);
    Quit();
}

}  // namespace nork::restore
