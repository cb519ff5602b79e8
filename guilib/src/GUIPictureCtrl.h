// CGUIPictureCtrl: a static that shows a bitmap, a picture or an icon, fitted,
// centred or stretched into its client area, or its text when it has none.
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

class CGUIPictureCtrl : public CWnd, public CSkinLayout {
  public:
    enum DrawStyle { FitAspect = 0, ActualCentred = 1, Stretch = 2, SizeToImage = 3 };
    enum class Content { Text = 0, Bitmap = 1, Picture = 2, Icon = 3 };

    // A style outside 0-3 is refused.
    bool SetDrawStyle(int style);
    // colour: the pixels of this colour are transparent; CLR_NONE_COLOR none.
    bool LoadBitmap(int bitmapId, COLORREF transparent = CLR_NONE_COLOR);
    bool LoadPicture(const std::string& typeName, int id, int alpha = 255);
    bool SetIcon(int iconId, int sizeCode = 0);
    void SetMirror(bool mirror) { mirror_ = mirror; }
    Content content() const { return content_; }
    bool inheritLayout() const { return inheritLayout_; }

    // Where the image goes in the client area; nullopt for an unknown style.
    std::optional<Rect> placement() const;
    Size imageSize() const;

    void ReadProperties(const CSkinElement& element) override;
    void onPaint(Canvas& canvas) override;

    // 0 fit keeping the aspect ratio, 1 actual size centred, 2 stretch,
    // 3 window sized to the image and stretched.
    int m_DrawStyle = FitAspect;

  private:
    void imageChanged();

    Content content_ = Content::Text;
    std::optional<Bitmap> bitmap_;
    COLORREF keyColour_ = CLR_NONE_COLOR;
    CGUIPictureVC6 picture_;
    CGUIIcon icon_;
    int alpha_ = 255;
    bool mirror_ = false;
    bool inheritLayout_ = false;
};

}  // namespace nork::gui
