// CGUIMessageBox: the skinned message box (skin id 7000), built from a dialog
// template in memory: a text, an optional icon and one to four buttons in a
// row under them.
//
// The style code: (code & 0xF) the button count (2, 3 or 4; anything else 1),
// (code & 0xF0) / 0x10 the default button asked for (2-4), (code & 0xF00) the
// icon (0x100 error, 0x200 warning, 0x300 question, 0x400 information).
//
// Threads: the user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "guilib/src/GUIButton.h"
#include "guilib/src/GUIDialog.h"
#include "guilib/src/GUILabel.h"

namespace nork::gui {

class CGUIMessageBox : public CGUIDialog {
  public:
    static constexpr int kSkinId = 7000;
    static constexpr int kTextId = 1000;
    static constexpr int kFirstButtonId = 1001;
    enum class IconKind { None, Error, Warning, Question, Information };

    // Skin icons of the four kinds (0: the system's icon); read from the
    // skin element of the box, kept for the process.
    static int IconErrorResID;
    static int IconWarningResID;
    static int IconQuestionResID;
    static int IconInfoResID;
    static int systemIconSize;

    CGUIMessageBox(std::u16string text, std::u16string caption, std::uint32_t code,
                   CWnd* parent = nullptr);
    ~CGUIMessageBox() override;

    // Text of button 1-4 (empty: the template's).
    void SetButtonText(int button, const std::u16string& text);
    // Runs the box: 1-4 for the button pressed, 2 when closed, -1 when the
    // windows could not be made.
    int DoModal();

    // The box's dialog template.
    static DialogTemplate buildTemplate();

    int buttonCount() const;
    // 1-4: the button asked for by the code that ends up the default.
    int defaultButton() const { return defaultButton_; }
    IconKind iconKind() const { return iconKind_; }
    Size contentSize() const { return {contentWidth_, contentHeight_}; }
    CGUILabel& label() { return label_; }
    CGUIResizeButton& button(int index) { return buttons_.at(static_cast<std::size_t>(index - 1)); }
    const Bitmap& iconBitmap() const { return iconBitmap_; }

    bool OnInitDialog() override;
    bool OnCommand(int id, int notifyCode) override;
    void ReadProperties(const CSkinElement& element) override;
    void onPaint(Canvas& canvas) override;

  private:
    void chooseIcon();
    void layoutContent();
    void layoutButtons();

    CGUILabel label_;
    std::array<CGUIResizeButton, 4> buttons_;
    std::array<std::u16string, 4> buttonTexts_;
    std::u16string message_;
    std::u16string caption_;
    std::uint32_t code_;
    IconKind iconKind_ = IconKind::None;
    Bitmap iconBitmap_;
    int contentWidth_ = 0;
    int contentHeight_ = 0;
    int defaultButton_ = 1;
};

}  // namespace nork::gui
