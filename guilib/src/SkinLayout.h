// CSkinLayout: the skin record every skinned window carries (colours, text
// id, region, design rectangle, placement rule) and the layout engine that
// places the window by it. Skinned windows derive from it beside their
// window class and extend ReadProperties.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <optional>

#include "guilib/port/Graphics.h"
#include "guilib/src/Properties.h"

namespace nork::gui {

class CWnd;

// Placement flags parsed from AnchorFlags (PosType 2) and AlignFlags (PosType 3).
inline constexpr std::uint32_t ANCHOR_LEFT = 0x1;
inline constexpr std::uint32_t ANCHOR_RIGHT = 0x2;
inline constexpr std::uint32_t ANCHOR_TOP = 0x4;
inline constexpr std::uint32_t ANCHOR_BOTTOM = 0x8;
inline constexpr std::uint32_t ALIGN_LEFT_OF = 0x10;
inline constexpr std::uint32_t ALIGN_RIGHT_OF = 0x20;
inline constexpr std::uint32_t ALIGN_ABOVE = 0x40;
inline constexpr std::uint32_t ALIGN_BELOW = 0x80;
inline constexpr std::uint32_t ALIGN_TOPS = 0x1000;
inline constexpr std::uint32_t ALIGN_MIDDLE = 0x2000;
inline constexpr std::uint32_t ALIGN_BOTTOMS = 0x4000;
inline constexpr std::uint32_t ALIGN_LEFTS = 0x8000;
inline constexpr std::uint32_t ALIGN_CENTRE = 0x10000;
inline constexpr std::uint32_t ALIGN_RIGHTS = 0x20000;

// The flags of a placement text for that PosType (0 for other types).
std::uint32_t parsePlacementFlags(int posType, std::u16string_view text);

class CSkinLayout {
  public:
    CSkinLayout();
    virtual ~CSkinLayout();

    // The common properties of every window, in order, each applied through
    // the setters as it is read. Derived classes call this first.
    virtual void ReadProperties(const CSkinElement& element);
    virtual void ApplyLayout();
    // SetTextId with the stored id when it is not 0.
    virtual void ReloadText();
    // Each stores the colour and answers the previous one.
    virtual COLORREF SetBackColor(COLORREF colour);
    virtual COLORREF SetShadeColor(COLORREF colour);
    virtual COLORREF SetTextColor(COLORREF colour);
    virtual COLORREF SetTextShadeColor(COLORREF colour);
    virtual void SetTransparent(bool transparent);
    // Loads the string; empty: nothing changes and false. Otherwise the id is
    // stored and the window text set.
    virtual bool SetTextId(int id);
    // The record keeps the region (nullopt: none) and hands it to the window.
    virtual void SetRegion(std::optional<Region> region);
    virtual int GetPosType() const { return posType_; }
    // whole: the rectangle; otherwise the stored corner with its size.
    virtual void SetRect(const Rect& rect, bool whole);

    // The window this record places (not owned).
    void BindWindow(CWnd* window) { window_ = window; }
    CWnd* GetLayoutWindow() const { return window_; }

    COLORREF backColor() const { return back_; }
    COLORREF shadeColor() const { return shade_; }
    COLORREF textColor() const { return text_; }
    COLORREF textShadeColor() const { return textShade_; }
    int textId() const { return textId_; }
    bool transparent() const { return transparent_; }
    const std::optional<Region>& region() const { return region_; }
    const Rect& designRect() const { return design_; }
    int refCtrlId() const { return refCtrlId_; }
    std::uint32_t flags() const { return flags_; }
    int leftDiff() const { return leftDiff_; }
    int topDiff() const { return topDiff_; }
    int rightDiff() const { return rightDiff_; }
    int botmDiff() const { return botmDiff_; }

  protected:
    CWnd* window_ = nullptr;
    COLORREF back_ = 0;
    COLORREF shade_ = 0;
    COLORREF text_ = 0;
    COLORREF textShade_ = 0;
    int textId_ = 0;
    std::optional<Region> region_;
    Rect design_{};
    int leftDiff_ = 0;
    int topDiff_ = 0;
    int rightDiff_ = 0;
    int botmDiff_ = 0;
    int refCtrlId_ = 0;
    int posType_ = 1;
    std::uint32_t flags_ = 0;
    bool transparent_ = false;
};

}  // namespace nork::gui
