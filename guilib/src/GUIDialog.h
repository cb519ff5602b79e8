// CGUIDialog: a dialog that reads its own skin element, registers its
// controls, lays them out, and carries a background picture, a window region
// from a mask, opacity, icons, a font and a caption.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "guilib/src/GUIPicture.h"
#include "guilib/src/SkinLayout.h"
#include "guilib/src/Wnd.h"

namespace nork::gui {

class CGUIDialog : public CDialog, public CSkinLayout {
  public:
    // Colours from the system: text = button text, text shade = highlighted
    // text, back = button face. The skin id is the template id.
    explicit CGUIDialog(int templateId, CWnd* parent = nullptr);
    ~CGUIDialog() override;

    // Registries cleared, the dialog's own element read. Derived dialogs call
    // it first, then register their controls and call ArrangeControls.
    bool OnInitDialog() override;
    // False unless the control's window is this dialog's child with that id.
    bool AddControl(CWnd* control, CSkinLayout* layout, int id);
    virtual void ArrangeControls();
    virtual bool SetBackgroundImage(int resourceId, const std::string& typeName, bool centre,
                                    bool preserveOrientation);
    virtual bool SetRegionFromMask(int bitmapId, bool useCornerColour, COLORREF key);
    virtual bool SetIcon(int iconId);
    virtual bool SetOpacity(int percent);
    // The dialog's caption and every registered control's text again.
    void ReloadText() override;

    void ReadProperties(const CSkinElement& element) override;
    COLORREF SetBackColor(COLORREF colour) override;

    int skinId() const { return skinId_; }
    void setSkinId(int id) { skinId_ = id; }
    const CSkinElement& skinElement() const { return element_; }
    const CGUIPictureVC6& backgroundPicture() const { return background_; }
    const CGUIIcon& largeIcon() const { return largeIcon_; }
    const CGUIIcon& smallIcon() const { return smallIcon_; }
    int opacityPercent() const { return opacity_; }
    const std::map<int, CSkinLayout*>& controls() const { return controls_; }

    void onPaint(Canvas& canvas) override;

  protected:
    int skinId_;
    CSkinElement element_;
    CGUIPictureVC6 background_;
    CGUIIcon largeIcon_;
    CGUIIcon smallIcon_;
    std::map<int, CSkinLayout*> controls_;
    std::map<int, std::unique_ptr<CSkinLayout>> ownedControls_;
    bool preserveImageOrientation_ = false;
    int opacity_ = 100;
    bool layered_ = false;
};

}  // namespace nork::gui
