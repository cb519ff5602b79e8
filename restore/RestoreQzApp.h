// The restore program's application object and its start-up routine: the
// log, the language, the skin, then the rules that may refuse the start
// (one instance per drive letter, the system version, the administrator
// rule, the removable drive) and finally the restore dialog.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <memory>

namespace nork::port {
class NamedMutex;
}

namespace nork::restore {

class CRestoreQzApp {
  public:
    // How the last InitInstance ended.
    enum class Outcome {
        NotRun,
        SecondInstance,  // another copy runs from the same drive letter
        OsRefused,       // 3016
        AdminRefused,    // 3024
        NotRemovable,    // 3014
        DialogShown
    };

    CRestoreQzApp();
    virtual ~CRestoreQzApp();
    CRestoreQzApp(const CRestoreQzApp&) = delete;
    CRestoreQzApp& operator=(const CRestoreQzApp&) = delete;

    // The start-up routine. Always false: the program ends with the dialog.
    bool InitInstance();
    bool IsWindows2000() const { return windows2000_; }
    bool IsVista() const { return vista_; }
    Outcome outcome() const { return outcome_; }

  protected:
    // Language, log line and skin document.
    void InitApplib();
    // False when another instance holds this drive letter's mutex.
    bool CheckInstance();
    // False when the system is too old (the refusal is shown).
    bool CheckOsVersion();
    // False when a non-administrator is refused by the skin (shown).
    bool CheckAdministrator();
    // False when the program does not run from a removable drive (shown).
    bool CheckRemovableDrive();
    // Registers the template and runs the restore dialog.
    virtual void RunMainDialog();

    // The skin document's resource (HTML resource 600).
    int skinResourceId_ = 600;

  private:
    bool windows2000_ = false;
    bool vista_ = false;
    std::unique_ptr<port::NamedMutex> instanceMutex_;
    bool instanceLocked_ = false;
    Outcome outcome_ = Outcome::NotRun;
};

// The program's application object.
CRestoreQzApp& theApp();

}  // namespace nork::restore
