// Shared fixture of the offscreen GUI tests: the offscreen backend, and the
// process-wide skin, string and resource state put back after each test (the
// suite also runs whole in one process).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "guilib/port/Graphics.h"
#include "guilib/port/Window.h"
#include "guilib/src/Properties.h"
#include "guilib/src/Resources.h"
#include "guilib/src/UTMLString.h"

namespace nork::gui::test {

class OffscreenTest : public ::testing::Test {
  protected:
    void SetUp() override { useOffscreenBackend(); }
    void TearDown() override {
        CProperties::instance().unload();
        CUTMLString::instance().reset();
        res::removeAddedResources();
    }

    // Loads the text as the skin document.
    static bool loadSkin(std::string_view xml) {
        return CProperties::instance().loadBytes(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    }
    // A picture resource of that type ("GIF", or "#2" for bitmaps) and id.
    static void addPicture(const res::ResId& type, int id, const Bitmap& bitmap) {
        auto png = encodePng(bitmap);
        res::addResourceCopy(type, res::ResId(static_cast<std::uint16_t>(id)), 0, png);
    }
};

}  // namespace nork::gui::test
