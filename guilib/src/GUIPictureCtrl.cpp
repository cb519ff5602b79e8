#include "guilib/src/GUIPictureCtrl.h"

#include <algorithm>

#include "guilib/src/DebugOut.h"

namespace nork::gui {

namespace {

// Half the spare length, rounded up.
int centred(int spare) {
    return (spare + 1) / 2;
}

// The image with the key colour's pixels made transparent.
Bitmap keyedOut(const Bitmap& image, COLORREF key) {
    Bitmap out = image;
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            if (out.pixel(x, y) == key && out.alpha(x, y) != 0)
                out.setPixel(x, y, 0, 0);
    return out;
}

// alpha applied on top of the picture's own.
Bitmap withAlpha(const Bitmap& image, int alpha) {
    Bitmap out = image;
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            out.setPixel(x, y, out.pixel(x, y),
                         static_cast<std::uint8_t>(out.alpha(x, y) * alpha / 255));
    return out;
}

}  // namespace

bool CGUIPictureCtrl::SetDrawStyle(int style) {
    if (style < FitAspect || style > SizeToImage)
        return false;
    m_DrawStyle = style;
    imageChanged();
    return true;
}

bool CGUIPictureCtrl::LoadBitmap(int bitmapId, COLORREF transparent) {
    auto bitmap = LoadBitmapResource(bitmapId);
    if (!bitmap)
        return false;
    bitmap_ = std::move(bitmap);
    keyColour_ = transparent;
    content_ = Content::Bitmap;
    imageChanged();
    return true;
}

bool CGUIPictureCtrl::LoadPicture(const std::string& typeName, int id, int alpha) {
    CGUIPictureVC6 picture;
    if (!picture.LoadFromResource(typeName, id))
        return false;
    picture_ = std::move(picture);
    alpha_ = std::clamp(alpha, 0, 255);
    content_ = Content::Picture;
    imageChanged();
    return true;
}

bool CGUIPictureCtrl::SetIcon(int iconId, int sizeCode) {
    CGUIIcon icon;
    if (!icon.Load(iconId, sizeCode))
        return false;
    icon_ = std::move(icon);
    content_ = Content::Icon;
    imageChanged();
    return true;
}

Size CGUIPictureCtrl::imageSize() const {
    switch (content_) {
        case Content::Bitmap:
            return bitmap_ ? Size{bitmap_->width(), bitmap_->height()} : Size{};
        case Content::Picture:
            return picture_.GetSizeInPixels();
        case Content::Icon:
            return {icon_.bitmap().width(), icon_.bitmap().height()};
        default:
            return {};
    }
}

void CGUIPictureCtrl::imageChanged() {
    if (m_DrawStyle == SizeToImage && content_ != Content::Text) {
        const Size size = imageSize();
        if (size.cx > 0 && size.cy > 0)
            SetWindowSize(size.cx, size.cy);
    }
    Invalidate();
}

std::optional<Rect> CGUIPictureCtrl::placement() const {
    const Rect client = GetClientRect();
    const Size image = imageSize();
    const int W = client.width();
    const int H = client.height();
    switch (m_DrawStyle) {
        case FitAspect: {
            if (image.cx <= 0 || image.cy <= 0)
                return Rect{};
            const double s =
                std::min(static_cast<double>(W) / image.cx, static_cast<double>(H) / image.cy);
            const int w = static_cast<int>(image.cx * s);
            const int h = static_cast<int>(image.cy * s);
            const int x = centred(W - w);
            const int y = centred(H - h);
            return Rect{x, y, x + w, y + h};
        }
        case ActualCentred: {
            const int x = image.cx < W ? centred(W - image.cx) : 0;
            const int y = image.cy < H ? centred(H - image.cy) : 0;
            return Rect{x, y, x + image.cx, y + image.cy};
        }
        case Stretch:
        case SizeToImage:
            return client;
        default:
            return std::nullopt;
    }
}

void CGUIPictureCtrl::ReadProperties(const CSkinElement& element) {
    CSkinLayout::ReadProperties(element);
    CUTPropertiesReader reader(element);
    // Read for the skin's sake; it changes nothing here.
    reader.GetBool("InheritLayout", inheritLayout_);
}

void CGUIPictureCtrl::onPaint(Canvas& canvas) {
    const Rect client = GetClientRect();
    if (content_ == Content::Text) {
        canvas.drawText(GetWindowText(), client, GetFont(), text_,
                        DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        return;
    }
    const std::optional<Rect> where = placement();
    if (!where) {
        QZ_GUI_ERROR("Unknown m_DrawStyle");
        return;
    }
    const Rect dst = *where;
    switch (content_) {
        case Content::Bitmap: {
            if (!bitmap_)
                return;
            const Bitmap image =
                keyColour_ == CLR_NONE_COLOR ? *bitmap_ : keyedOut(*bitmap_, keyColour_);
            if (keyColour_ != CLR_NONE_COLOR &&
                (m_DrawStyle == ActualCentred || m_DrawStyle == SizeToImage))
                canvas.drawBitmap(image, dst.left, dst.top);  // at the position, unscaled
            else
                canvas.drawBitmapPart(image, {0, 0, image.width(), image.height()}, dst);
            break;
        }
        case Content::Picture:
            if (alpha_ >= 255) {
                picture_.Draw(canvas, dst);
            } else {
                const Bitmap faded = withAlpha(picture_.bitmap(), alpha_);
                canvas.drawBitmapPart(faded, {0, 0, faded.width(), faded.height()}, dst);
            }
            break;
        case Content::Icon:
            canvas.drawBitmapPart(icon_.bitmap(),
                                  {0, 0, icon_.bitmap().width(), icon_.bitmap().height()}, dst);
            break;
        default:
            break;
    }
}

}  // namespace nork::gui
