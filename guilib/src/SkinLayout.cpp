#include "guilib/src/SkinLayout.h"

#include <utility>

#include "guilib/src/UTMLString.h"
#include "guilib/src/Wnd.h"

namespace nork::gui {

namespace {

char16_t upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

// (n + 1) / 2 with the fraction dropped.
int half(int n) {
    return (n + 1) / 2;
}

bool isTopLevel(const CWnd* window) {
    return !window->native() || window->native()->kind() == WidgetKind::TopLevel;
}

}  // namespace

std::uint32_t parsePlacementFlags(int posType, std::u16string_view text) {
    std::uint32_t flags = 0;
    if (posType == 2) {
        for (char16_t c : text) {
            switch (upper(c)) {
                case u'L':
                    flags |= ANCHOR_LEFT;
                    break;
                case u'R':
                    flags |= ANCHOR_RIGHT;
                    break;
                case u'T':
                    flags |= ANCHOR_TOP;
                    break;
                case u'B':
                    flags |= ANCHOR_BOTTOM;
                    break;
                default:
                    break;
            }
        }
    } else if (posType == 3 && !text.empty()) {
        switch (upper(text[0])) {
            case u'L':
                flags |= ALIGN_LEFT_OF;
                break;
            case u'R':
                flags |= ALIGN_RIGHT_OF;
                break;
            case u'T':
                flags |= ALIGN_ABOVE;
                break;
            case u'B':
                flags |= ALIGN_BELOW;
                break;
            default:
                break;
        }
        // The second character is the separator and is never looked at.
        if (text.size() > 2) {
            switch (upper(text[2])) {
                case u'T':
                    flags |= ALIGN_TOPS;
                    break;
                case u'M':
                    flags |= ALIGN_MIDDLE;
                    break;
                case u'B':
                    flags |= ALIGN_BOTTOMS;
                    break;
                case u'L':
                    flags |= ALIGN_LEFTS;
                    break;
                case u'C':
                    flags |= ALIGN_CENTRE;
                    break;
                case u'R':
                    flags |= ALIGN_RIGHTS;
                    break;
                default:
                    break;
            }
        }
    }
    return flags;
}

CSkinLayout::CSkinLayout() = default;
CSkinLayout::~CSkinLayout() = default;

void CSkinLayout::ReadProperties(const CSkinElement& element) {
    CUTPropertiesReader reader(element);
    COLORREF colour = 0;
    if (reader.GetColor("RGBBack", colour))
        SetBackColor(colour);
    if (reader.GetColor("RGBShade", colour))
        SetShadeColor(colour);
    if (reader.GetColor("RGBTxt", colour))
        SetTextColor(colour);
    if (reader.GetColor("RGBTxtShade", colour))
        SetTextShadeColor(colour);
    bool flag = false;
    if (reader.GetBool("Trnsprnt", flag))
        SetTransparent(flag);
    std::int32_t value = 0;
    if (reader.GetInt("TxtID", value))
        SetTextId(value);
    // Show only ever hides: a window shown by the template stays as it is.
    if (reader.GetBool("Show", flag) && !flag && window_)
        window_->ShowWindow(false);
    if (reader.GetInt("PosType", value))
        posType_ = value;
    std::u16string text;
    if (posType_ == 2 && reader.GetString("AnchorFlags", text))
        flags_ = parsePlacementFlags(2, text);
    else if (posType_ == 3 && reader.GetString("AlignFlags", text))
        flags_ = parsePlacementFlags(3, text);
    if (reader.GetInt("RefCtrlID", value))
        refCtrlId_ = value;
    if (reader.GetLong("X", value))
        design_.left = value;
    if (reader.GetLong("Y", value))
        design_.top = value;
    if (reader.GetLong("Width", value))
        design_.right = design_.left + value;
    if (reader.GetLong("Height", value))
        design_.bottom = design_.top + value;
    if (reader.GetLong("TopDiff", value))
        topDiff_ = value;
    if (reader.GetLong("BotmDiff", value))
        botmDiff_ = value;
    if (reader.GetLong("RightDiff", value))
        rightDiff_ = value;
    if (reader.GetLong("LeftDiff", value))
        leftDiff_ = value;
}

void CSkinLayout::ApplyLayout() {
    if (!window_ || !window_->IsWindow())
        return;
    CWnd* parent = isTopLevel(window_) ? nullptr : window_->GetParent();
    Rect current = window_->GetWindowRect();

    if (posType_ == 2) {
        if (!parent || flags_ == 0)
            return;
        Rect client = parent->GetClientRect();
        int w = design_.isEmpty() ? current.width() : design_.width();
        int h = design_.isEmpty() ? current.height() : design_.height();
        Rect r = current;
        if (flags_ & ANCHOR_LEFT) {
            r.left = leftDiff_;
            r.right = r.left + w;
        }
        if (flags_ & ANCHOR_TOP) {
            r.top = topDiff_;
            r.bottom = r.top + h;
        }
        if (flags_ & ANCHOR_RIGHT) {
            r.right = client.width() - rightDiff_;
            if (!(flags_ & ANCHOR_LEFT))
                r.left = r.right - w;
        }
        if (flags_ & ANCHOR_BOTTOM) {
            r.bottom = client.height() - botmDiff_;
            if (!(flags_ & ANCHOR_TOP))
                r.top = r.bottom - h;
        }
        window_->MoveWindow(r, true);
        window_->Invalidate();
        SetRect(r, true);
        return;
    }

    if (posType_ == 3) {
        if (!parent || flags_ == 0 || refCtrlId_ == 0)
            return;
        CWnd* reference = parent->GetDlgItem(refCtrlId_);
        if (!reference || !reference->IsWindow())
            return;
        Rect ref = reference->GetWindowRect();
        Rect r = current;
        if (!design_.isEmpty()) {
            r.right = r.left + design_.width();
            r.bottom = r.top + design_.height();
        }
        const int w = r.width();
        const int h = r.height();
        int left = r.left;
        int top = r.top;
        if (flags_ & ALIGN_LEFT_OF) {
            left = ref.left - rightDiff_ - w;
        } else if (flags_ & ALIGN_RIGHT_OF) {
            left = ref.right + leftDiff_;
        } else if (flags_ & ALIGN_ABOVE) {
            top = ref.top - botmDiff_ - h;
        } else if (flags_ & ALIGN_BELOW) {
            top = ref.bottom + topDiff_;
        }
        if (flags_ & (ALIGN_ABOVE | ALIGN_BELOW) && !(flags_ & (ALIGN_LEFT_OF | ALIGN_RIGHT_OF))) {
            if (flags_ & ALIGN_LEFTS)
                left = ref.left + leftDiff_;
            else if (flags_ & ALIGN_RIGHTS)
                left = ref.right - rightDiff_ - w;
            else
                left = ref.left + half(ref.width()) - half(w);
        } else if (flags_ & (ALIGN_LEFT_OF | ALIGN_RIGHT_OF)) {
            if (flags_ & ALIGN_TOPS)
                top = ref.top + topDiff_;
            else if (flags_ & ALIGN_BOTTOMS)
                top = ref.bottom - botmDiff_ - h;
            else
                top = ref.top + half(ref.height()) - half(h);
        }
        r = {left, top, left + w, top + h};
        window_->MoveWindow(r, true);
        window_->Invalidate();
        SetRect(r, true);
        return;
    }

    // Absolute (PosType 1, and any value the engine does not know).
    Rect r = design_;
    if (r.width() == 0 && r.height() == 0)
        r = current;
    if (parent) {
        window_->MoveWindow(r, true);
        SetRect(r, true);
    } else {
        window_->SetWindowSize(r.width(), r.height());
    }
}

void CSkinLayout::ReloadText() {
    if (textId_ != 0)
        SetTextId(textId_);
}

COLORREF CSkinLayout::SetBackColor(COLORREF colour) {
    return std::exchange(back_, colour);
}
COLORREF CSkinLayout::SetShadeColor(COLORREF colour) {
    return std::exchange(shade_, colour);
}
COLORREF CSkinLayout::SetTextColor(COLORREF colour) {
    return std::exchange(text_, colour);
}
COLORREF CSkinLayout::SetTextShadeColor(COLORREF colour) {
    return std::exchange(textShade_, colour);
}

void CSkinLayout::SetTransparent(bool transparent) {
    transparent_ = transparent;
}

bool CSkinLayout::SetTextId(int id) {
    std::u16string text = LoadLocalizedString(id);
    if (text.empty())
        return false;
    textId_ = id;
    if (window_)
        window_->SetWindowText(text);
    return true;
}

void CSkinLayout::SetRegion(std::optional<Region> region) {
    region_ = std::move(region);
    if (window_)
        window_->SetWindowRgn(region_, true);
}

void CSkinLayout::SetRect(const Rect& rect, bool whole) {
    if (whole) {
        design_ = rect;
    } else {
        design_.right = design_.left + rect.width();
        design_.bottom = design_.top + rect.height();
    }
}

}  // namespace nork::gui
