// A skinned dialog for the control tests: a template of the children given,
// and the controls the test hands in subclassed and registered (in order) when
// the dialog initialises, then laid out.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "GuiTestSupport.h"
#include "guilib/src/GUIDialog.h"

namespace nork::gui::test {

// At (10, y) dialog units, 60 x 14.
inline DialogItemTemplate controlItem(int id, const char16_t* className, std::uint32_t style,
                                      const char16_t* text = u"", int y = 10) {
    DialogItemTemplate item;
    item.id = id;
    item.className = className;
    item.style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | style;
    item.text = text;
    item.x = 10;
    item.y = y;
    item.cx = 60;
    item.cy = 14;
    return item;
}

// A 300 x 200 dialog-unit template with these children.
inline DialogTemplate controlTemplate(std::vector<DialogItemTemplate> items) {
    DialogTemplate t;
    t.style = WS_POPUP | WS_VISIBLE | DS_SETFONT;
    t.cx = 300;
    t.cy = 200;
    t.items = std::move(items);
    return t;
}

class ControlTestDialog : public CGUIDialog {
  public:
    struct Entry {
        int id;
        CWnd* window;
        CSkinLayout* layout;
    };
    ControlTestDialog(int templateId, std::vector<Entry> entries)
        : CGUIDialog(templateId), entries_(std::move(entries)) {}
    bool OnInitDialog() override {
        CGUIDialog::OnInitDialog();
        for (const Entry& e : entries_) {
            EXPECT_TRUE(e.window->SubclassDlgItem(e.id, this)) << e.id;
            EXPECT_TRUE(AddControl(e.window, e.layout, e.id)) << e.id;
        }
        ArrangeControls();
        return true;
    }
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> messages;
    std::intptr_t WindowProc(std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        messages.emplace_back(message, wParam);
        return CGUIDialog::WindowProc(message, wParam, lParam);
    }

  private:
    std::vector<Entry> entries_;
};

// The skin document with one dialog element holding these control elements.
inline std::string controlSkin(int dialogId, const std::string& controls,
                               const std::string& dialogProperties = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><UserData><General/><Controls><Dialog><ID>" +
           std::to_string(dialogId) + "</ID>" + dialogProperties + controls +
           "</Dialog></Controls><VersionTable/></UserData>";
}

inline std::string controlElement(const char* tag, int id, const std::string& properties) {
    return std::string("<") + tag + "><ID>" + std::to_string(id) + "</ID>" + properties + "</" +
           tag + ">";
}

}  // namespace nork::gui::test
