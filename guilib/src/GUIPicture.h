// Pictures, bitmaps and icons of the program's resources: CGUIPictureVC6
// (background and control pictures), CGUIIcon (an icon at a size code),
// bitmap loading and CreateRegionFromBitmap.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "guilib/port/Graphics.h"

namespace nork::gui {

class CGUIPictureVC6 {
  public:
    // The type by name ("GIF"); the resource is looked up as "#<id>". A
    // numeric standard type (a name "#n" with n below 23) is refused.
    bool LoadFromResource(const std::string& typeName, int id);
    bool LoadFromFile(const std::string& path);
    bool IsLoaded() const { return loaded_; }
    Size GetSizeInPixels() const;
    // Scaled into dst; an empty destination draws nothing.
    bool Draw(Canvas& canvas, const Rect& dst) const;
    // Not implemented (as the picture object never could): false.
    bool SaveAs(const std::string& path) const;
    void Release();
    const Bitmap& bitmap() const { return bitmap_; }
    std::size_t dataSize() const { return dataSize_; }

  private:
    bool loadBytes(const std::uint8_t* data, std::size_t size);
    Bitmap bitmap_;
    std::size_t dataSize_ = 0;
    bool loaded_ = false;
};

// Icon size codes: 0 system size (32), 1 = 16, 2 = 24, 3 = 32, 4 = 48,
// 5 = 64, 6 = 96 pixels; others write "Unknown icon size" and count as 0.
int iconEdgeForCode(int sizeCode);
inline constexpr int SYSTEM_ICON_SIZE = 32;

class CGUIIcon {
  public:
    // The icon resource (type 14) at the code's edge length.
    bool Load(int resourceId, int sizeCode);
    bool IsLoaded() const { return !bitmap_.empty(); }
    int edge() const { return edge_; }
    // At the position with its size; nothing without a canvas ("DrawState NULL DC").
    void Draw(Canvas* canvas, Point at) const;
    const Bitmap& bitmap() const { return bitmap_; }
    void Release() { bitmap_ = Bitmap(); }

  private:
    Bitmap bitmap_;
    int edge_ = 0;
};

// A bitmap resource (type 2); nullopt when id is 0 or it does not load.
std::optional<Bitmap> LoadBitmapResource(int id);
// The pixels whose colour differs from the key (or, with useCorner, from the
// colour of pixel (0,0)) as one-pixel-high runs.
Region CreateRegionFromBitmap(const Bitmap& bitmap, COLORREF key, bool useCorner);

}  // namespace nork::gui
