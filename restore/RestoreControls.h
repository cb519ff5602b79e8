// The restore program's own controls over the skinned dialog library: the
// three-slice button that sizes itself to its text and draws it between the
// caps, the label, link and logo with their right-to-left handling, and the
// message box with its caption band. Also the two ways the program shows a
// message box (start-up refusals and restore results).
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

#include "guilib/src/GUIButton.h"
#include "guilib/src/GUILabel.h"
#include "guilib/src/GUIMessageBox.h"
#include "guilib/src/GUIPictureCtrl.h"

namespace nork::restore {

using gui::COLORREF;

// Text format bits of right-to-left languages: right-aligned, right-to-left
// reading (DT_RIGHT | DT_RTLREADING).
inline constexpr std::uint32_t kRightToLeftFormat = 0x20002;
// Window style of the message boxes: popup, visible, centred, no caption bar.
inline constexpr std::uint32_t kMessageBoxStyle = 0x90000800;
// Icon shown in the boxes and on the dialog.
inline constexpr int kProgramIconId = 128;
// Height of the message box's caption band.
inline constexpr int kCaptionBandHeight = 35;

// True when the current language reads right to left (string 3021 parses as a
// non-zero integer).
bool IsRightToLeft();

class CQzResizeButton : public gui::CGUIResizeButton {
  public:
    CQzResizeButton();

    void ReadProperties(const gui::CSkinElement& element) override;
    // Minimum width = text width + both caps + 10; the button is rebuilt with
    // that minimum.
    void PositionText();
    void SetMinWidth(int w);
    int GetMinWidth() const { return minWidth_; }
    // After a language change: text again, PositionText, then the layout.
    void ReloadText() override;
    COLORREF disabledTextColor() const { return disabledText_; }

    void DrawItem(gui::Canvas& canvas, const gui::Rect& rect, bool focused, bool disabled,
                  bool selected) override;

  private:
    void rebuildWithMinimum(int minimum);

    int minWidth_;
    COLORREF disabledText_ = 0;
    // Cap widths of the slices (ImgLeft, ImgRight): the text sits between.
    int capLeft_ = 0;
    int capRight_ = 0;
};

class CRestoreLabel : public gui::CGUILabel {
  public:
    void ReadProperties(const gui::CSkinElement& element) override;
};

class CRestoreHyperlink : public gui::CGUIHyperlink {
  public:
    void ReadProperties(const gui::CSkinElement& element) override;
};

class CRestoreLogo : public gui::CGUIPictureCtrl {
  public:
    void ReadProperties(const gui::CSkinElement& element) override;
};

class CQzMessageBox : public gui::CGUIMessageBox {
  public:
    CQzMessageBox(std::u16string text, std::u16string caption, std::uint32_t code,
                  gui::CWnd* parent = nullptr);
    ~CQzMessageBox() override;

    // Shown modally on the box's template with kMessageBoxStyle.
    int DoModal();

    void ReadProperties(const gui::CSkinElement& element) override;
    bool OnInitDialog() override;
    void onPaint(gui::Canvas& canvas) override;
    void onMouseDown(gui::Point client, bool doubleClick) override;

    bool captionBand() const { return band_; }
    COLORREF bandColor() const { return bandColour_; }
    COLORREF captionColor() const { return captionColour_; }
    const gui::LogFont& captionFont() const { return captionFont_; }
    bool rightToLeft() const { return rtl_; }
    int iconTop() const { return iconTop_; }
    const std::u16string& caption() const { return captionText_; }

  private:
    std::u16string captionText_;
    bool band_ = true;
    COLORREF bandColour_ = 0x00F6EBDE;
    COLORREF captionColour_ = 0;
    gui::LogFont captionFont_;
    bool rtl_ = false;
    int iconTop_ = 12;
};

// Restore results: button 1 text 3018, style 0x101 (flag 1) or 0x401
// (flag 0). 1 when the box returned 1, otherwise 2.
int ShowResultMessageBox(gui::CWnd* parent, const std::u16string& text,
                         const std::u16string& caption, int styleFlag);
// Start-up refusals: text and caption from the string table, button 1 text
// 3018, style 0x201 (flag 1) or 0x401 (flag 0). 1 when the box returned 1,
// otherwise 2.
int ShowStartupMessage(gui::CWnd* parent, int textId, int captionId, int styleFlag);

}  // namespace nork::restore
