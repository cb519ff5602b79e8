#include "guilib/src/GUIPicture.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "guilib/src/DebugOut.h"
#include "guilib/src/Resources.h"

namespace nork::gui {

// ---- CGUIPictureVC6 ----

bool CGUIPictureVC6::LoadFromResource(const std::string& typeName, int id) {
    res::ResId type(typeName);
    // Pictures live under a named type; the standard numeric types hold
    // other kinds of data.
    if (type.isNumber() && type.number() < 23)
        return false;
    if (id < 0 || id > 0xFFFF)
        return false;
    auto bytes = res::findResource(type, res::ResId(static_cast<std::uint16_t>(id)));
    if (!bytes) {
        QZ_GUI_ERROR("FindResource - fail");
        return false;
    }
    return loadBytes(bytes->data(), bytes->size());
}

bool CGUIPictureVC6::LoadFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    return loadBytes(bytes.data(), bytes.size());
}

bool CGUIPictureVC6::loadBytes(const std::uint8_t* data, std::size_t size) {
    Release();
    auto decoded = decodeImage(data, size);
    if (!decoded) {
        debugText("Ole Load fail\n");
        return false;
    }
    bitmap_ = std::move(*decoded);
    dataSize_ = size;
    loaded_ = true;
    return true;
}

Size CGUIPictureVC6::GetSizeInPixels() const {
    if (!loaded_)
        return {};
    return {bitmap_.width(), bitmap_.height()};
}

bool CGUIPictureVC6::Draw(Canvas& canvas, const Rect& dst) const {
    if (!loaded_ || dst.isEmpty())
        return false;
    canvas.drawBitmapPart(bitmap_, {0, 0, bitmap_.width(), bitmap_.height()}, dst);
    return true;
}

bool CGUIPictureVC6::SaveAs(const std::string&) const {
    debugText("CGUIPictureVC6::SaveAs not imple\n");
    return false;
}

void CGUIPictureVC6::Release() {
    bitmap_ = Bitmap();
    dataSize_ = 0;
    loaded_ = false;
}

// ---- icons ----

int iconEdgeForCode(int sizeCode) {
    switch (sizeCode) {
        case 0:
            return SYSTEM_ICON_SIZE;
        case 1:
            return 16;
        case 2:
            return 24;
        case 3:
            return 32;
        case 4:
            return 48;
        case 5:
            return 64;
        case 6:
            return 96;
        default:
            QZ_GUI_ERROR("Unknown icon size");
            return SYSTEM_ICON_SIZE;
    }
}

bool CGUIIcon::Load(int resourceId, int sizeCode) {
    int edge = iconEdgeForCode(sizeCode);
    if (resourceId <= 0 || resourceId > 0xFFFF)
        return false;
    auto bytes = res::findResource(res::ResId(res::RT_GROUP_ICON),
                                   res::ResId(static_cast<std::uint16_t>(resourceId)));
    if (!bytes)
        return false;
    auto decoded = decodeImage(bytes->data(), bytes->size());
    if (!decoded)
        return false;
    bitmap_ = scaleBitmap(*decoded, edge, edge);
    edge_ = edge;
    return true;
}

void CGUIIcon::Draw(Canvas* canvas, Point at) const {
    if (!canvas) {
        QZ_GUI_ERROR("DrawState NULL DC");
        return;
    }
    if (bitmap_.empty())
        return;
    canvas->drawBitmap(bitmap_, at.x, at.y);
}

// ---- bitmaps and regions ----

std::optional<Bitmap> LoadBitmapResource(int id) {
    if (id <= 0 || id > 0xFFFF)
        return std::nullopt;
    auto bytes =
        res::findResource(res::ResId(res::RT_BITMAP), res::ResId(static_cast<std::uint16_t>(id)));
    if (!bytes)
        return std::nullopt;
    return decodeImage(bytes->data(), bytes->size());
}

Region CreateRegionFromBitmap(const Bitmap& bitmap, COLORREF key, bool useCorner) {
    Region region;
    if (bitmap.empty())
        return region;
    const COLORREF transparent = useCorner ? bitmap.pixel(0, 0) : key;
    for (int y = 0; y < bitmap.height(); ++y) {
        int x = 0;
        while (x < bitmap.width()) {
            while (x < bitmap.width() && bitmap.pixel(x, y) == transparent)
                ++x;
            int start = x;
            while (x < bitmap.width() && bitmap.pixel(x, y) != transparent)
                ++x;
            if (x > start)
                region.add({start, y, x, y + 1});
        }
    }
    return region;
}

}  // namespace nork::gui
