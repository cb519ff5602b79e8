// The property vocabulary of the skin document, in the order of the library's
// name table (the index of a name is its place here). The library reads
// properties by these names as strings; the table is the one list of them.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>

namespace nork::gui::skin {

inline constexpr std::string_view kPropertyNames[] = {
    "X",
    "Y",
    "Width",
    "Height",
    "PosType",
    "AnchorFlags",
    "AlignFlags",
    "RefCtrlID",
    "TopDiff",
    "BotmDiff",
    "LeftDiff",
    "RightDiff",
    "Show",
    "Trnsprnt",
    "Opacity",
    "Grdient",
    "RGBBack",
    "RGBShade",
    "RGBTxt",
    "RGBTxtShade",
    "RGBSeparator",
    "RGBHilight",
    "RGBFrame",
    "RGBImages",
    "RGBBackRight",
    "ImageID",
    "MaskID",
    "IconID",
    "CursorID",
    "PreserveImageOrientation",
    "Font",
    "FType",
    "FAngle",
    "ImgUpID",
    "ImgDnID",
    "ImgOvID",
    "ImgDsID",
    "ImgDfID",
    "ImgLeft",
    "ImgMid",
    "ImgRight",
    "TxtID",
    "TTxtID",
    "URLTxtID",
    "TTPopup",
    "TTDelay",
    "TTMove",
    "InheritLayout",
    "WinStyle",
    "WinStyleEx",
    "Popup",
    "Delay",
    "AllowedVen",
    "AllowedProd",
    // Reserved element ids: 7000 is the message box window, 7003 the menu.
    "7000",
    "7001",
    "7002",
    "7003",
    "7004",
    "IconErrorResID",
    "IconWarningResID",
    "IconQuestionResID",
    "IconInfoResID",
    "General",
};

// The index of a name in the table; nullopt for a name outside it.
constexpr std::optional<std::size_t> propertyIndex(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kPropertyNames); ++i)
        if (kPropertyNames[i] == name)
            return i;
    return std::nullopt;
}

}  // namespace nork::gui::skin
