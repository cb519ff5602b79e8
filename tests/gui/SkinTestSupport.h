// Fixture of the tests that need no window backend (skin reader, strings,
// resources): puts back the process-wide skin, string and resource state
// after each test, as OffscreenTest does, since the suite also runs whole in
// one process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "guilib/src/Properties.h"
#include "guilib/src/Resources.h"
#include "guilib/src/UTMLString.h"

namespace nork::gui::test {

class SkinStateTest : public ::testing::Test {
  protected:
    void TearDown() override {
        CProperties::instance().unload();
        CUTMLString::instance().reset();
        res::removeAddedResources();
    }
    static bool loadSkin(std::string_view xml) {
        return CProperties::instance().loadBytes(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    }
};

}  // namespace nork::gui::test
