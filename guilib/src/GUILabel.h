// The skinned text controls: CGUILabel (font, effects, gradient background,
// rotation) and CGUIHyperlink (a label that opens its target when clicked).
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

#include "guilib/src/SkinLayout.h"
#include "guilib/src/Wnd.h"

namespace nork::gui {

// Gradient colours with this value stand for the system's caption colours.
inline constexpr COLORREF GRADIENT_SYSTEM_COLOR = 0xFF000000;

class CGUILabel : public CWnd, public CSkinLayout {
  public:
    CGUILabel();
    ~CGUILabel() override;

    virtual void SetText(const std::u16string& text);
    virtual std::u16string GetText() const;
    virtual void SetBold(bool bold);
    virtual void SetFontName(const std::u16string& face, std::uint8_t charSet = 0);
    virtual void SetUnderline(bool underline);
    virtual void SetItalic(bool italic);
    virtual void SetPointSize(int points);
    virtual void SetLogFont(const LogFont& font);
    virtual void SetSunken(bool sunken);
    virtual void SetBorder(bool border);
    // 0 plain, 1 shade below right, 2 and 3 text below right; others refused.
    virtual bool SetTextEffect(int effect);
    // Degrees counter-clockwise; 0 is upright.
    virtual void SetAngle(int degrees);
    virtual bool GetGradient() const { return gradient_; }
    virtual void SetGradient(bool on);
    virtual void SetGradientColors(COLORREF left, COLORREF right);
    // 0: the format follows the window style.
    virtual void SetDrawFormat(std::uint32_t format);
    virtual std::uint32_t GetDrawFormat() const;
    virtual void Paint(Canvas& canvas, const Rect& rect);
    virtual void DrawLabelText(Canvas& canvas, const Rect& rect);

    const LogFont& logFont() const { return logFont_; }
    const LogFont& labelFont() const { return font_; }
    bool rotated() const { return rotated_; }
    int textEffect() const { return effect_; }
    COLORREF gradientLeft() const;
    COLORREF gradientRight() const;

    void SetTransparent(bool transparent) override;
    COLORREF SetBackColor(COLORREF colour) override;
    COLORREF SetTextColor(COLORREF colour) override;
    COLORREF SetTextShadeColor(COLORREF colour) override;
    void ReadProperties(const CSkinElement& element) override;

    void PreSubclassWindow() override;
    void onPaint(Canvas& canvas) override;

  protected:
    // Makes the font from the record and gives it to the window.
    void ReconstructFont();
    // Repaints the label and the parent's area under it (transparent labels
    // show the parent's background).
    void redraw();

    LogFont logFont_;
    LogFont font_;
    bool rotated_ = false;
    int effect_ = 0;
    bool gradient_ = false;
    COLORREF gradientLeft_ = GRADIENT_SYSTEM_COLOR;
    COLORREF gradientRight_ = GRADIENT_SYSTEM_COLOR;
    std::uint32_t drawFormat_ = 0;
};

class CGUIHyperlink : public CGUILabel {
  public:
    CGUIHyperlink();

    // Text and target from the string table; the notify window is cleared.
    // True when a target is set.
    bool SetLink(int textId, int targetId);
    void SetTarget(const std::u16string& target) { target_ = target; }
    const std::u16string& target() const { return target_; }
    // Without a target, a click posts `message` (wParam: control id) to it.
    void SetNotify(CDialog* window, std::uint32_t message);
    COLORREF visitedColor() const { return visited_; }

    // A text change sizes the control to the text.
    void SetWindowText(const std::u16string& text) override;
    void ReadProperties(const CSkinElement& element) override;
    std::optional<WidgetKind> preferredKind() const override { return WidgetKind::Link; }
    void PreSubclassWindow() override;
    void onMouseDown(Point client, bool doubleClick) override;

  private:
    std::u16string target_;
    CDialog* notifyWindow_ = nullptr;
    std::uint32_t notifyMessage_ = 0;
    COLORREF visited_ = 0x00800080;
};

}  // namespace nork::gui
