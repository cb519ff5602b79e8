// The skinned buttons: CGUIButtonBase (state machine, classic or bitmap
// drawing, text), CGUIImageButton (five fixed-size state bitmaps and a mask)
// and CGUIResizeButton (state bitmaps built from three slices at the size the
// text needs).
//
// Threads: the user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "guilib/src/GUIPicture.h"
#include "guilib/src/SkinLayout.h"
#include "guilib/src/Wnd.h"

namespace nork::gui {

class CGUIButtonBase : public CWnd, public CSkinLayout {
  public:
    // Visual states; 2 is only the index of the disabled image.
    enum State {
        StateNormal = 0,
        StateFocused = 1,
        StateDisabledImage = 2,
        StatePressed = 3,
        StateHover = 4
    };
    enum class Kind { Push, Check, Radio, GroupBox };

    CGUIButtonBase();
    ~CGUIButtonBase() override;

    // Draws the button into rect: focused, disabled and selected (pressed)
    // describe the item.
    virtual void DrawItem(Canvas& canvas, const Rect& rect, bool focused, bool disabled,
                          bool selected);
    // Bitmap ids of the states; the base has no images and answers false.
    virtual bool SetImages(int up, int down, int hover, int focused, int disabled);
    virtual bool SetMask(int bitmapId);
    // Sets the window text and turns text drawing on.
    virtual void SetText(const std::u16string& text);
    // The button's own font (the record the text is drawn in).
    virtual void SetFont(const LogFont& font);

    // The platform's set-style request: BS_DEFPUSHBUTTON makes a
    // default-capable button the default, BS_PUSHBUTTON undoes it; the button
    // stays owner-drawn.
    void SetButtonStyle(std::uint32_t style, bool redraw = true);
    bool IsDefault() const { return isDefault_; }
    bool IsDefaultCapable() const { return defaultCapable_; }
    Kind kind() const { return kind_; }

    int visualState() const { return state_; }
    bool pressed() const { return pressed_; }
    const LogFont& buttonFont() const { return font_; }
    const std::optional<Bitmap>& image(int index) const { return images_.at(index); }
    const std::optional<Bitmap>& mask() const { return mask_; }
    void SetDrawFocusRect(bool on) { drawFocus_ = on; }
    void SetDrawText(bool on) { drawText_ = on; }
    void SetTextShadow(bool on) { textShadow_ = on; }
    void SetTextFormat(std::uint32_t format) { format_ = format; }
    std::uint32_t textFormat() const { return format_; }
    void SetMargin(int margin) { margin_ = margin; }
    int margin() const { return margin_; }
    COLORREF SetFrameColor(COLORREF colour);
    // The icon drawn at (0,0); false when it does not load.
    bool SetIcon(int iconId, int sizeCode);

    void ReadProperties(const CSkinElement& element) override;

    void PreSubclassWindow() override;
    void onPaint(Canvas& canvas) override;
    void onMouseDown(Point client, bool doubleClick) override;
    void onMouseUp(Point client) override;
    void onMouseMove(Point client) override;
    void onMouseLeave() override;
    void onKeyDown(int vk) override;
    void onKeyUp(int vk) override;
    void onFocus(bool gained) override;

  protected:
    void setState(int state, std::optional<bool> pressed);

    int state_ = StateNormal;
    bool pressed_ = false;
    bool tracking_ = false;
    // The left mouse button went down on the button and is not released yet.
    bool mouseHeld_ = false;
    Kind kind_ = Kind::Push;
    bool defaultCapable_ = false;
    bool isDefault_ = false;
    std::array<std::optional<Bitmap>, 5> images_;
    std::optional<Bitmap> mask_;
    LogFont font_;
    bool drawFocus_ = true;
    bool drawText_ = true;
    bool textShadow_ = false;
    std::uint32_t format_ = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    int margin_ = 8;
    COLORREF frame_ = 0;
    CGUIIcon icon_;
};

// A button of fixed-size state bitmaps.
class CGUIImageButton : public CGUIButtonBase {
  public:
    bool SetImages(int up, int down, int hover, int focused, int disabled) override;
    bool SetMask(int bitmapId) override;
};

// A button whose state bitmaps are built from a left cap, a tiled middle and
// a right cap, wide enough for its text.
class CGUIResizeButton : public CGUIButtonBase {
  public:
    static constexpr int kMinimumWidth = 75;
    static constexpr int kMinimumHeight = 24;
    // The process-wide minimum width the sizing rule uses (kMinimumWidth
    // unless a program replaces it for a moment).
    static int minimumWidth;

    bool SetSlices(std::uint16_t left, std::uint16_t middle, std::uint16_t right);
    bool SetImages(int up, int down, int hover, int focused, int disabled) override;
    bool SetMask(int bitmapId) override;
    void SetText(const std::u16string& text) override;
    void SetFont(const LogFont& font) override;
    // A text change (also from the skin's text id) resizes the button.
    void SetWindowText(const std::u16string& text) override;

    void ReadProperties(const CSkinElement& element) override;

    // The size the sizing rule chose last.
    Size currentSize() const { return {width_, height_}; }
    // The width the rule gives for a text width (tests and layouts).
    int widthFor(int textWidth) const;
    // Builds the images again at the width the rule gives now.
    void Resize() { Rebuild(); }

  private:
    void Rebuild();
    // One state image at the target width from its three-slice source.
    std::optional<Bitmap> buildImage(int sourceId, int width) const;

    std::uint16_t left_ = 0;
    std::uint16_t middle_ = 0;
    std::uint16_t right_ = 0;
    int width_ = 0;
    int height_ = 0;
    // Source ids by image index (0 up, 1 focused, 2 disabled, 3 down, 4 hover).
    std::array<int, 5> sourceIds_{};
    int maskId_ = 0;
};

}  // namespace nork::gui
