// CGUIProgressCtrl: a progress bar drawn solid, as a gradient, with a pattern
// bitmap or from two pictures, with an optional percentage text.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "guilib/src/GUIPicture.h"
#include "guilib/src/SkinLayout.h"
#include "guilib/src/Wnd.h"

namespace nork::gui {

class CGUIProgressCtrl : public CWnd, public CSkinLayout {
  public:
    enum Mode { ModeSolid = 1, ModeGradient = 2, ModeNone = 3, ModePattern = 4, ModePictures = 5 };
    // Bar and gradient colours: the system caption colours. Frame: a
    // three-dimensional edge.
    static constexpr COLORREF kSystemColor = 0xFF000000;
    static constexpr COLORREF kNoFrame = 0xFFFFFFFF;

    CGUIProgressCtrl();
    ~CGUIProgressCtrl() override;

    void SetRange(int lower, int upper);
    int GetLower() const { return lower_; }
    int GetUpper() const { return upper_; }
    // Answers the previous position.
    int SetPos(int position);
    int GetPos() const { return pos_; }

    // Both pictures must load; the window takes the background's size, loses
    // its edges and draws in ModePictures.
    bool SetBarImages(int backgroundId, int barId, const std::string& typeName);
    // The pattern bitmap of ModePattern; false when it does not load.
    bool SetPattern(int bitmapId);
    void SetDrawMode(int mode);
    int drawMode() const { return mode_; }
    void SetBorder(bool on);
    void ShowText(bool on);
    void SetBarColor(COLORREF colour);
    void SetGradientColors(COLORREF first, COLORREF second);
    void SetFrameColor(COLORREF colour);
    COLORREF barColor() const { return bar_; }
    bool vertical() const { return vertical_; }
    // Pixels of the bar filled at the current position for that length.
    int filledLength(int length) const;

    COLORREF SetBackColor(COLORREF colour) override;
    void ReadProperties(const CSkinElement& element) override;
    void PreSubclassWindow() override;
    void onPaint(Canvas& canvas) override;

  private:
    void paintBar(Canvas& canvas, const Rect& client);

    int mode_ = ModeSolid;
    bool vertical_ = false;
    bool showText_ = false;
    COLORREF bar_ = kSystemColor;
    COLORREF second_ = kSystemColor;
    COLORREF frame_ = kSystemColor;
    std::optional<Bitmap> pattern_;
    CGUIPictureVC6 background_;
    CGUIPictureVC6 barPicture_;
    LogFont font_;
    int lower_ = 0;
    int upper_ = 100;
    int pos_ = 0;
};

}  // namespace nork::gui
