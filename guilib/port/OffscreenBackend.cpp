// The offscreen backend: the window tree in memory, drawn into a Bitmap on
// request, input delivered by the simulate* calls. Tests and machines
// without a display use it.
#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "guilib/port/Backends.h"
#include "port/Messages.h"

namespace nork::gui::detail {

namespace {

class OffscreenWindow;

// What the windows and the backend share; it outlives whichever goes first.
struct State {
    std::vector<OffscreenWindow*> alive;
    OffscreenWindow* focus = nullptr;
    OffscreenWindow* capture = nullptr;  // pressed by the mouse, until released
    OffscreenWindow* hover = nullptr;    // under the pointer
    OffscreenWindow* spacePressed = nullptr;
    std::vector<OffscreenWindow*> modal;  // innermost last

    bool isAlive(const OffscreenWindow* w) const {
        return std::find(alive.begin(), alive.end(), w) != alive.end();
    }
};

class OffscreenWindow final : public NativeWindow {
  public:
    OffscreenWindow(std::shared_ptr<State> state, WidgetKind kind, OffscreenWindow* parent,
                    OffscreenWindow* owner, const Rect& bounds)
        : state_(std::move(state)), kind_(kind), parent_(parent), owner_(owner), bounds_(bounds) {
        state_->alive.push_back(this);
        if (parent_)
            parent_->children_.push_back(this);
    }

    ~OffscreenWindow() override {
        auto& s = *state_;
        s.alive.erase(std::remove(s.alive.begin(), s.alive.end(), this), s.alive.end());
        s.modal.erase(std::remove(s.modal.begin(), s.modal.end(), this), s.modal.end());
        for (OffscreenWindow** p : {&s.focus, &s.capture, &s.hover, &s.spacePressed})
            if (*p == this)
                *p = nullptr;
        for (OffscreenWindow* child : children_)
            child->parent_ = nullptr;
        for (OffscreenWindow* w : s.alive)
            if (w->owner_ == this)
                w->owner_ = nullptr;
        if (parent_) {
            auto& siblings = parent_->children_;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        }
    }

    WidgetKind kind() const override { return kind_; }
    void setHandler(WindowHandler* handler) override { handler_ = handler; }
    WindowHandler* handler() const override { return handler_; }
    NativeWindow* parent() const override { return parent_; }
    void setBounds(const Rect& bounds) override { bounds_ = bounds; }
    Rect bounds() const override { return bounds_; }
    void setText(const std::u16string& text) override { text_ = text; }
    std::u16string text() const override { return text_; }
    void setVisible(bool visible) override { visible_ = visible; }
    bool isVisible() const override { return visible_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    void setRegion(const Region* region) override {
        if (region)
            region_ = *region;
        else
            region_.reset();
    }
    void setOpacity(int alpha) override { opacity_ = alpha < 0 ? -1 : std::min(alpha, 255); }
    int opacity() const override { return opacity_; }
    void setIcons(const Bitmap* large, const Bitmap* small) override {
        largeIcon_ = large ? *large : Bitmap();
        smallIcon_ = small ? *small : Bitmap();
    }
    void invalidate() override {}
    void update() override {}

    void setFocus() override {
        State& s = *state_;
        OffscreenWindow* old = s.focus;
        if (old == this)
            return;
        s.focus = this;
        if (old && old->handler_)
            old->handler_->onFocus(false);
        if (s.isAlive(this) && s.focus == this && handler_)
            handler_->onFocus(true);
    }
    bool hasFocus() const override { return state_->focus == this; }
    void setDefault(bool isDefault) override { default_ = isDefault; }
    void setProgressValue(double fraction) override { progress_ = std::clamp(fraction, 0.0, 1.0); }
    void setHandCursor(bool hand) override { handCursor_ = hand; }
    void setRtl(bool rtl) override { rtl_ = rtl; }

    void centre(const NativeWindow* owner) override {
        Rect area{0, 0, 1280, 1024};
        if (owner) {
            // Top-level bounds are in screen coordinates already.
            area = owner->bounds();
        }
        const int w = bounds_.width();
        const int h = bounds_.height();
        bounds_.left = area.left + (area.width() - w) / 2;
        bounds_.top = area.top + (area.height() - h) / 2;
        bounds_.right = bounds_.left + w;
        bounds_.bottom = bounds_.top + h;
    }
    void setTopMost(bool topMost) override { topMost_ = topMost; }
    void beginMoveDrag(Point) override {}
    void setTabStop(bool tabStop) override { tabStop_ = tabStop; }

    // For the backend.
    const std::vector<OffscreenWindow*>& children() const { return children_; }
    OffscreenWindow* parentWindow() const { return parent_; }
    OffscreenWindow* owner() const { return owner_; }
    const std::optional<Region>& region() const { return region_; }
    bool isDefault() const { return default_; }

    OffscreenWindow* topLevel() {
        OffscreenWindow* w = this;
        while (w->parent_)
            w = w->parent_;
        return w;
    }
    // This window's client origin in the coordinates of `ancestor`'s client area.
    Point originIn(const OffscreenWindow* ancestor) const {
        Point p;
        for (const OffscreenWindow* w = this; w && w != ancestor; w = w->parent_) {
            p.x += w->bounds_.left;
            p.y += w->bounds_.top;
        }
        return p;
    }
    bool pointInside(Point client) const {
        if (client.x < 0 || client.y < 0 || client.x >= bounds_.width() ||
            client.y >= bounds_.height())
            return false;
        return !region_ || region_->contains(client.x, client.y);
    }

  private:
    std::shared_ptr<State> state_;
    WidgetKind kind_;
    OffscreenWindow* parent_;
    OffscreenWindow* owner_;
    Rect bounds_;
    WindowHandler* handler_ = nullptr;
    std::u16string text_;
    bool visible_ = false;
    bool enabled_ = true;
    std::optional<Region> region_;
    int opacity_ = -1;
    Bitmap largeIcon_;
    Bitmap smallIcon_;
    bool default_ = false;
    double progress_ = 0;
    bool handCursor_ = false;
    bool rtl_ = false;
    bool topMost_ = false;
    bool tabStop_ = false;
    std::vector<OffscreenWindow*> children_;  // in creation order
};

void clearToTransparent(Bitmap& bitmap) {
    std::fill(bitmap.data(),
              bitmap.data() + static_cast<std::size_t>(bitmap.width()) * bitmap.height(), 0u);
}

void applyRegion(Bitmap& bitmap, const Region& region) {
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x)
            if (!region.contains(x, y))
                bitmap.data()[static_cast<std::size_t>(y) * bitmap.width() + x] = 0;
}

void applyOpacity(Bitmap& bitmap, int opacity) {
    if (opacity < 0 || opacity >= 255)
        return;
    // Premultiplied: every channel scales with the alpha.
    const auto a = static_cast<std::uint32_t>(opacity);
    std::uint32_t* p = bitmap.data();
    for (std::size_t i = 0, n = static_cast<std::size_t>(bitmap.width()) * bitmap.height(); i < n;
         ++i) {
        std::uint32_t out = 0;
        for (int shift = 0; shift < 32; shift += 8)
            out |= ((((p[i] >> shift) & 0xFF) * a + 127) / 255) << shift;
        p[i] = out;
    }
}

class OffscreenBackend final : public Backend {
  public:
    OffscreenBackend() : state_(std::make_shared<State>()) {}

    bool isOffscreen() const override { return true; }

    std::unique_ptr<NativeWindow> createTopLevel(NativeWindow* owner) override {
        return std::make_unique<OffscreenWindow>(state_, WidgetKind::TopLevel, nullptr, ours(owner),
                                                 Rect{0, 0, 0, 0});
    }

    std::unique_ptr<NativeWindow> createChild(NativeWindow& parent, WidgetKind kind,
                                              const Rect& bounds) override {
        OffscreenWindow* p = ours(&parent);
        if (!p)
            return nullptr;
        return std::make_unique<OffscreenWindow>(state_, kind, p, nullptr, bounds);
    }

    void runModalLoop(NativeWindow& window, const std::function<bool()>& done) override {
        OffscreenWindow* w = ours(&window);
        if (w)
            state_->modal.push_back(w);
        while (!done()) {
            port::Msg msg;
            if (port::peekMessage(msg, true)) {
                if (msg.message == port::WM_QUIT) {
                    // The quit is for the thread's own loop: given back, and
                    // this loop ends rather than spin on it.
                    port::postQuitMessage(static_cast<int>(msg.wParam));
                    break;
                }
                port::dispatchMessage(msg);
                continue;
            }
            port::waitThreadQueue(std::chrono::milliseconds(20));
        }
        if (w && state_->isAlive(w)) {
            auto& modal = state_->modal;
            auto it = std::find(modal.rbegin(), modal.rend(), w);
            if (it != modal.rend())
                modal.erase(std::next(it).base());
        }
    }

    void runPending() override {
        port::Msg msg;
        while (port::peekMessage(msg, true)) {
            if (msg.message == port::WM_QUIT) {
                port::postQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            port::dispatchMessage(msg);
        }
    }

    Size screenSize() const override { return Size{1280, 1024}; }

    Bitmap render(NativeWindow& window) override {
        OffscreenWindow* w = ours(&window);
        if (!w)
            return {};
        const Rect b = w->bounds();
        Bitmap out(b.width(), b.height(), sysColor(COLOR_BTNFACE));
        if (out.empty())
            return out;
        paintTree(*w, out);
        if (w->region())
            applyRegion(out, *w->region());
        if (w->kind() == WidgetKind::TopLevel)
            applyOpacity(out, w->opacity());
        return out;
    }

    void simulateMouseDown(NativeWindow& window, Point client) override {
        OffscreenWindow* root = ours(&window);
        if (!root || blocked(root))
            return;
        Point local = client;
        OffscreenWindow* target = hitTest(root, local);
        if (!target || !target->isEnabled())
            return;
        state_->capture = target;
        if (WindowHandler* h = target->handler())
            h->onMouseDown(local, false);
    }

    void simulateMouseUp(NativeWindow& window, Point client) override {
        OffscreenWindow* root = ours(&window);
        if (!root || blocked(root))
            return;
        Point local = client;
        OffscreenWindow* target = state_->capture;
        if (target && target->topLevel() == root->topLevel()) {
            // The pressed window keeps the pointer until the button is released.
            const Point from = root->originIn(nullptr);
            const Point to = target->originIn(nullptr);
            local = Point{client.x + from.x - to.x, client.y + from.y - to.y};
        } else {
            target = hitTest(root, local);
        }
        const bool pressed = state_->capture == target && target != nullptr;
        state_->capture = nullptr;
        if (!target || !target->isEnabled())
            return;
        if (WindowHandler* h = target->handler())
            h->onMouseUp(local);
        if (pressed && state_->isAlive(target) && target->kind() == WidgetKind::Button &&
            target->pointInside(local))
            click(target);
    }

    void simulateMouseMove(NativeWindow& window, Point client) override {
        OffscreenWindow* root = ours(&window);
        if (!root || blocked(root))
            return;
        Point local = client;
        OffscreenWindow* under = hitTest(root, local);
        if (OffscreenWindow* old = state_->hover; old && old != under) {
            state_->hover = nullptr;
            if (WindowHandler* h = old->handler())
                h->onMouseLeave();
        }
        if (under && !state_->isAlive(under))
            return;
        state_->hover = under;
        OffscreenWindow* target = state_->capture ? state_->capture : under;
        if (!target || !target->isEnabled())
            return;
        if (target != under) {
            const Point from = root->originIn(nullptr);
            const Point to = target->originIn(nullptr);
            local = Point{client.x + from.x - to.x, client.y + from.y - to.y};
        }
        if (WindowHandler* h = target->handler())
            h->onMouseMove(local);
    }

    void simulateMouseLeave(NativeWindow& window) override {
        OffscreenWindow* root = ours(&window);
        if (!root)
            return;
        OffscreenWindow* old = state_->hover;
        if (!old || old->topLevel() != root->topLevel())
            return;
        state_->hover = nullptr;
        if (WindowHandler* h = old->handler())
            h->onMouseLeave();
    }

    void simulateKey(NativeWindow& window, int vk, bool down) override {
        OffscreenWindow* root = ours(&window);
        if (!root || blocked(root))
            return;
        OffscreenWindow* top = root->topLevel();
        // Keys go to the focused window of that top-level window, if any.
        OffscreenWindow* target = root;
        if (state_->focus && state_->focus->topLevel() == top)
            target = state_->focus;
        if (!target->isEnabled())
            return;
        if (WindowHandler* h = target->handler()) {
            if (down)
                h->onKeyDown(vk);
            else
                h->onKeyUp(vk);
        }
        if (!state_->isAlive(target) || !state_->isAlive(top))
            return;
        if (vk == VK_SPACE && target->kind() == WidgetKind::Button) {
            if (down) {
                state_->spacePressed = target;
            } else if (state_->spacePressed == target) {
                state_->spacePressed = nullptr;
                click(target);
            }
        } else if (vk == VK_RETURN && down) {
            if (OffscreenWindow* button = defaultButton(top))
                click(button);
        } else if (vk == VK_ESCAPE && down) {
            if (WindowHandler* h = top->handler())
                h->onCloseRequest();
        }
    }

  private:
    OffscreenWindow* ours(NativeWindow* window) const {
        auto* w = dynamic_cast<OffscreenWindow*>(window);
        return w && state_->isAlive(w) ? w : nullptr;
    }
    OffscreenWindow* ours(const NativeWindow* window) const {
        return ours(const_cast<NativeWindow*>(window));
    }

    // Input for a top-level window other than the innermost modal one (or a
    // window it owns) is dropped.
    bool blocked(OffscreenWindow* w) const {
        if (state_->modal.empty())
            return false;
        OffscreenWindow* modal = state_->modal.back();
        for (OffscreenWindow* top = w->topLevel(); top; top = top->owner())
            if (top == modal)
                return false;
        return true;
    }

    // The deepest visible window at the point; `local` becomes its client
    // coordinates.
    OffscreenWindow* hitTest(OffscreenWindow* w, Point& local) const {
        const auto& children = w->children();
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            OffscreenWindow* child = *it;
            if (!child->isVisible())
                continue;
            const Rect b = child->bounds();
            Point inChild{local.x - b.left, local.y - b.top};
            if (child->pointInside(inChild)) {
                local = inChild;
                return hitTest(child, local);
            }
        }
        return w;
    }

    OffscreenWindow* defaultButton(OffscreenWindow* w) const {
        for (OffscreenWindow* child : w->children()) {
            if (child->kind() == WidgetKind::Button && child->isDefault() && child->isVisible() &&
                child->isEnabled())
                return child;
            if (OffscreenWindow* found = defaultButton(child))
                return found;
        }
        return nullptr;
    }

    void click(OffscreenWindow* button) {
        if (button->isEnabled())
            if (WindowHandler* h = button->handler())
                h->onClicked();
    }

    // The window's own painting, then its visible children over it, each
    // clipped to its bounds and region.
    void paintTree(OffscreenWindow& w, Bitmap& target) {
        if (WindowHandler* h = w.handler()) {
            auto canvas = canvasForBitmap(target);
            h->onPaint(*canvas);
        }
        const std::vector<OffscreenWindow*> children = w.children();
        for (OffscreenWindow* child : children) {
            if (!state_->isAlive(child) || !child->isVisible())
                continue;
            const Rect b = child->bounds();
            if (child->region() && child->region()->empty())
                continue;
            // Transparent to start with: what a control leaves unpainted shows
            // its parent.
            Bitmap layer(b.width(), b.height());
            if (layer.empty())
                continue;
            clearToTransparent(layer);
            paintTree(*child, layer);
            if (child->region())
                applyRegion(layer, *child->region());
            auto canvas = canvasForBitmap(target);
            canvas->drawBitmap(layer, b.left, b.top);
        }
    }

    std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<Backend> makeOffscreenBackend() {
    return std::make_unique<OffscreenBackend>();
}

}  // namespace nork::gui::detail
