#include "guilib/src/GUIDialog.h"

#include <functional>
#include <set>
#include <vector>

namespace nork::gui {

CGUIDialog::CGUIDialog(int templateId, CWnd* parent)
    : CDialog(templateId, parent), skinId_(templateId) {
    text_ = sysColor(COLOR_BTNTEXT);
    textShade_ = sysColor(COLOR_HIGHLIGHTTEXT);
    back_ = sysColor(COLOR_BTNFACE);
}

CGUIDialog::~CGUIDialog() = default;

bool CGUIDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    controls_.clear();
    ownedControls_.clear();
    element_ = CProperties::instance().GetElementByID(skinId_);
    BindWindow(this);
    ReadProperties(element_);
    return true;
}

void CGUIDialog::ReadProperties(const CSkinElement& element) {
    CSkinLayout::ReadProperties(element);
    CUTPropertiesReader reader(element);
    std::int32_t id = 0;
    if (reader.GetInt("ImageID", id)) {
        bool preserve = false;
        reader.GetBool("PreserveImageOrientation", preserve);
        SetBackgroundImage(id, "GIF", true, preserve);
    }
    if (reader.GetInt("MaskID", id))
        SetRegionFromMask(id, true, 0);
    std::int32_t opacity = 0;
    if (reader.GetInt("Opacity", opacity))
        SetOpacity(opacity);
    LogFont font;
    if (reader.GetFont("Font", font) && !font.faceName.empty())
        SetFont(font, true);
    if (reader.GetInt("TxtID", id))
        SetTextId(id);
    if (reader.GetInt("IconID", id))
        SetIcon(id);
}

bool CGUIDialog::AddControl(CWnd* control, CSkinLayout* layout, int id) {
    if (!control || !layout || !control->IsWindow() || control->GetParent() != this ||
        control->GetDlgCtrlID() != id)
        return false;
    controls_.erase(id);
    layout->BindWindow(control);
    // Controls are looked up inside the dialog's element only: ids repeat
    // across windows. Without a dialog element nothing is read.
    CSkinElement element;
    if (!element_.empty())
        element = CProperties::instance().GetElementByID(id, element_);
    layout->ReadProperties(element);
    controls_[id] = layout;
    return true;
}

void CGUIDialog::ArrangeControls() {
    ApplyLayout();
    auto arrange = [this](auto& registry, auto layoutOf) {
        std::set<int> visited;
        std::vector<CSkinLayout*> order;
        // A placed-next-to control comes after its reference; the visited
        // mark breaks reference cycles.
        std::function<void(int)> visit = [&](int id) {
            if (!visited.insert(id).second)
                return;
            auto it = registry.find(id);
            if (it == registry.end())
                return;
            CSkinLayout* layout = layoutOf(it->second);
            if (layout->GetPosType() == 3)
                visit(layout->refCtrlId());
            order.push_back(layout);
        };
        for (auto& entry : registry)
            visit(entry.first);
        for (CSkinLayout* layout : order)
            layout->ApplyLayout();
    };
    arrange(controls_, [](CSkinLayout* l) { return l; });
    arrange(ownedControls_, [](const std::unique_ptr<CSkinLayout>& l) { return l.get(); });
}

bool CGUIDialog::SetBackgroundImage(int resourceId, const std::string& typeName, bool centre,
                                    bool preserveOrientation) {
    preserveImageOrientation_ = preserveOrientation;
    if (!background_.LoadFromResource(typeName.empty() ? "GIF" : typeName, resourceId))
        return false;
    Size size = background_.GetSizeInPixels();
    // Our top-level windows draw their own frame: the client area is the
    // whole window, so there are no margins to add.
    SetWindowSize(size.cx, size.cy);
    SetRect({0, 0, size.cx, size.cy}, false);
    ModifyStyle(WS_THICKFRAME, 0);
    if (centre && native() && native()->kind() == WidgetKind::TopLevel)
        native()->centre(nullptr);
    Invalidate();
    return true;
}

bool CGUIDialog::SetRegionFromMask(int bitmapId, bool useCornerColour, COLORREF key) {
    auto bitmap = LoadBitmapResource(bitmapId);
    if (!bitmap)
        return false;
    Region region = CreateRegionFromBitmap(*bitmap, key, useCornerColour);
    if (region.empty())
        return false;
    SetRegion(std::move(region));
    return true;
}

bool CGUIDialog::SetIcon(int iconId) {
    CGUIIcon large;
    CGUIIcon small;
    if (!large.Load(iconId, 3) || !small.Load(iconId, 1))
        return false;
    largeIcon_ = std::move(large);
    smallIcon_ = std::move(small);
    if (native())
        native()->setIcons(&largeIcon_.bitmap(), &smallIcon_.bitmap());
    return true;
}

bool CGUIDialog::SetOpacity(int percent) {
    if (!native())
        return false;
    if (percent == -1) {
        layered_ = false;
        ModifyStyleEx(WS_EX_LAYERED, 0);
        native()->setOpacity(-1);
        Invalidate();
        return true;
    }
    // Taken as unsigned: every other negative value is above 100 too.
    if (static_cast<unsigned>(percent) > 100u)
        percent = 100;
    opacity_ = percent;
    if (!layered_) {
        layered_ = true;
        ModifyStyleEx(0, WS_EX_LAYERED);
        native()->setOpacity(255);
    }
    native()->setOpacity(percent * 255 / 100);
    return true;
}

void CGUIDialog::ReloadText() {
    CSkinLayout::ReloadText();
    for (auto& entry : controls_)
        entry.second->ReloadText();
}

COLORREF CGUIDialog::SetBackColor(COLORREF colour) {
    COLORREF previous = CSkinLayout::SetBackColor(colour);
    Invalidate();
    return previous;
}

void CGUIDialog::onPaint(Canvas& canvas) {
    Rect client = GetClientRect();
    canvas.fillRect(client, back_);
    if (background_.IsLoaded()) {
        Size size = background_.GetSizeInPixels();
        background_.Draw(canvas, {0, 0, size.cx, size.cy});
    }
}

}  // namespace nork::gui
