// CRestoreQzDlg: the restore program's one window. A Restore click brings up
// the SDK and waits for the drive that holds the program; a worker thread then
// adds a CD domain over the drive's free capacity, and the dialog ends the
// program once the worker succeeded and the drive came back.
//
// Threads: the user-interface thread runs every handler; OptInThreadFunc runs
// on the worker and reaches the dialog only through posted messages and the
// shared flags below.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "UFD.h"
#include "guilib/src/GUIButton.h"
#include "guilib/src/GUIDialog.h"
#include "guilib/src/GUIProgressCtrl.h"
#include "restore/RestoreControls.h"

namespace nork::restore {

using gui::CWnd;

inline constexpr int IDD_RESTOREQZ_DIALOG = 200;

inline constexpr int IDC_RESTORE_BUTTON = 1000;
inline constexpr int IDC_PROGRESS_STATIC = 1001;
inline constexpr int IDC_RESTORE_INTRO_TEXT = 1002;
inline constexpr int IDC_LEARN_MORE_LINK = 1003;
inline constexpr int IDC_EXPLAIN_TEXT_2 = 1004;
inline constexpr int IDC_OPTOUT_PROGRESS = 1005;
inline constexpr int IDC_X_BUTTON = 1006;
inline constexpr int IDC_LOGO = 1007;
inline constexpr int IDB_TEMPLATE_BITMAP = 129;

inline constexpr std::uintptr_t TIMER_PROGRESS = 1025;
inline constexpr std::uintptr_t TIMER_PRESENCE = 1026;
inline constexpr std::uintptr_t TIMER_OPTIN_TIMEOUT = 1027;

inline constexpr std::uint32_t WM_RESTORE_FINISHED = 1039;
inline constexpr std::uint32_t WM_DEVICE_CONNECTED = 1316;
inline constexpr std::uint32_t WM_DEVICE_DISCONNECTED = 1317;
inline constexpr std::uint32_t WM_DEVICE_UPDATED = 1319;

// Dialog template 200 in the program's templates.
void RegisterRestoreDialogTemplate();

// Writes a drive's cached data to it where the platform needs that (Windows
// 2000 identity).
class CJxDeviceFlusher {
  public:
    // True, or false when the drive could not be opened.
    static bool FlushAll(const std::u16string& drive);
};

class CRestoreQzDlg : public gui::CGUIDialog {
  public:
    explicit CRestoreQzDlg(CWnd* parent = nullptr);
    ~CRestoreQzDlg() override;

    bool OnInitDialog() override;
    bool OnCommand(int id, int notifyCode) override;
    void OnTimer(std::uintptr_t id) override;
    std::intptr_t WindowProc(std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;
    void onMouseDown(gui::Point client, bool doubleClick) override;
    void onCloseRequest() override;

    void OnRestoreClick();
    void RestoreQzDevice();
    std::intptr_t OnRestoreThreadFinish(std::uintptr_t id, std::intptr_t ok);
    void OnDeviceConnected(std::uintptr_t id);
    bool GetDeviceRemovable(const CUFD& device);
    void OnDeviceDisconnected(std::uintptr_t id);
    void OnDeviceUpdated(std::uintptr_t id, std::intptr_t event);
    void HandleRestoreFinish();
    bool VerifyDeviceIsStillThere();
    void OnOptInTimeout();
    void ShowResultMessage(int id, int code);

    // The worker's limit (120000 ms); tests shorten it.
    void setOptInTimeout(std::uint32_t ms) { m_optInTimeoutMs = ms; }
    // Tests: the administrator test applied when a device connects (the
    // port's by default).
    static void setAdministratorTest(std::function<bool()> test);
    // Tests: the program's own path (the port's module file name by default).
    static void setOwnPathProvider(std::function<std::u16string()> provider);
    // Process-wide id of the running worker, -1 when none.
    static std::int64_t workerThreadId() { return s_workerThreadId.load(); }

  protected:
    // What the worker and the user-interface thread share. The worker keeps
    // its own reference, so a worker abandoned at the end never reads a
    // dialog that is gone.
    struct Shared {
        std::atomic<bool> deviceShouldBeAvailable{true};
        std::atomic<bool> waitingForUpdate{false};
        port::HWND hwnd = port::HWND_NONE;
        CUFD device;
        std::uint32_t timeoutMs = 120000;
    };
    static void OptInThreadFunc(std::shared_ptr<Shared> shared);
    void StopProgress();
    void AbandonWorker();
    // Ends the program: a quit request (exit code 0) for the modal loop.
    virtual void Quit();

    std::shared_ptr<Shared> m_shared;
    bool m_bOwnDeviceFound = false;
    bool m_bRestoreSucceeded = false;
    bool m_bDeviceUpdated = false;
    std::uint32_t m_nDeviceId = 0;
    CUFD m_device;
    std::u16string m_strDrive;
    std::u16string m_strRootPath;
    std::thread m_hWorker;
    bool m_workerStarted = false;
    bool m_bCloseDisabled = false;
    int m_nProgressPos = 0;
    bool m_bAnimating = false;
    std::uint32_t m_optInTimeoutMs = 120000;
    static std::atomic<std::int64_t> s_workerThreadId;

    CQzResizeButton m_btnRestore;
    CQzResizeButton m_btnCancel;
    gui::CGUIImageButton m_btnX;
    CRestoreLabel m_lblProgress;
    CRestoreLabel m_lblIntro;
    CRestoreLabel m_lblExplain;
    CRestoreHyperlink m_lnkLearnMore;
    gui::CGUIProgressCtrl m_progress;
    CRestoreLogo m_logo;
};

}  // namespace nork::restore
