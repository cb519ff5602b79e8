// Shared fixture of the offscreen RestoreQz tests: the offscreen backend, the
// message boxes pressed as they open (and recorded), and every process-wide
// override put back after each test (the suite also runs whole in one
// process).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "guilib/port/Window.h"
#include "guilib/src/Properties.h"
#include "guilib/src/Resources.h"
#include "guilib/src/UTMLString.h"
#include "port/DeviceInventory.h"
#include "port/Locale.h"
#include "port/OsIdentity.h"
#include "port/ProgramIdentity.h"
#include "restore/RestoreControls.h"

namespace nork::restore::test {

// One message box as it was shown.
struct ShownBox {
    std::u16string text;
    std::u16string caption;
    std::u16string buttonText;
    gui::CGUIMessageBox::IconKind icon = gui::CGUIMessageBox::IconKind::None;
    std::uint32_t style = 0;
};

// A volume of a removable drive, as the inventory presents it.
class FakeInventory : public port::IInventoryBackend {
  public:
    std::string name() const override { return "restore-test"; }
    void collect(std::vector<port::StorageUnitFacts>& units,
                 std::vector<port::HidInterfaceInfo>&) override {
        units.insert(units.end(), units_.begin(), units_.end());
    }
    void addVolume(const std::string& serial, const std::string& mountDir) {
        port::StorageUnitFacts f;
        f.serial = serial;
        f.vendor = "Qz";
        f.product = "Drive";
        f.mountDir = mountDir;
        f.ioPath = "/dev/null";
        units_.push_back(f);
    }

  private:
    std::vector<port::StorageUnitFacts> units_;
};

class RestoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gui::useOffscreenBackend();
        const char* base = std::getenv("QZ_TEST_TMP");
        static std::atomic<int> serial{0};
        dir_ =
            std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
            ("restore-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
             std::to_string(serial++));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        port::setDriveLetterDir((dir_ / "letters").string());
        port::clearInventoryBackends();
        inventory_ = std::make_shared<FakeInventory>();
        port::registerInventoryBackend(inventory_);
        gui::CDialog::setShowHook([this](gui::CDialog& dialog) {
            auto* box = dynamic_cast<CQzMessageBox*>(&dialog);
            if (!box)
                return;
            boxes.push_back({box->label().GetWindowText(), box->caption(),
                             box->button(1).GetWindowText(), box->iconKind(), box->GetStyle()});
            if (onBox)
                onBox(*box);
            box->EndDialog(boxResult);
        });
    }
    void TearDown() override {
        gui::CDialog::setShowHook(nullptr);
        gui::CProperties::instance().unload();
        gui::CUTMLString::instance().reset();
        gui::res::removeAddedResources();
        port::setInstalledLanguagesForTest(std::nullopt);
        port::setSystemDefaultLanguageForTest(std::nullopt);
        port::setUserDefaultLanguageForTest(std::nullopt);
        port::setModuleFileNameForTest(std::nullopt);
        port::setAdministratorForTest(std::nullopt);
        port::resetOsIdentity();
        port::resetInventoryBackends();
        port::setDriveLetterDir("");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // A mounted removable volume; answers its drive letter.
    char16_t removableVolume(const std::string& name) {
        const auto mount = dir_ / "mnt" / name;
        std::filesystem::create_directories(mount);
        inventory_->addVolume(name, mount.string());
        for (const auto& unit : port::snapshot().units)
            if (unit.facts.serial == name)
                return unit.letter;
        return 0;
    }

    // The string tables' languages count as installed, in table order.
    static void installAllLanguages() {
        port::setInstalledLanguagesForTest(gui::res::resourceLanguages(
            gui::res::ResId(gui::res::RT_STRING), gui::res::ResId(3001 / 16 + 1)));
    }

    static bool loadSkin(std::string_view xml) {
        return gui::CProperties::instance().loadBytes(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    }

    std::filesystem::path dir_;
    std::shared_ptr<FakeInventory> inventory_;
    std::vector<ShownBox> boxes;
    // What the recorded boxes return, and a look at each before it ends.
    int boxResult = 1;
    std::function<void(CQzMessageBox&)> onBox;
};

}  // namespace nork::restore::test
