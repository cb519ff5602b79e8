// The desktop backend of the window layer: GTK 3 windows whose drawing we own.
//
// A top-level window is an undecorated GtkWindow holding a GtkFixed; every
// child control, at any depth, is placed in that one GtkFixed at its position
// in the top-level's client coordinates (children are created after their
// parents, so the GtkFixed draws them in the right order). Controls are real
// GTK widgets so that focus, the default button and accessibility come from
// the toolkit; a CSS class takes away their own minimum sizes and our "draw"
// handlers paint them completely.
//
// The thread's message queue (port/Messages.h) is pumped by a GSource on its
// wake-up descriptor, so posted messages, sent messages and timers run inside
// the GLib main loop as toolkit events do.
#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "guilib/port/Backends.h"
#include "guilib/port/CairoCanvas.h"
#include "port/Messages.h"
#include "port/Utf.h"

namespace nork::gui::detail {

namespace {

constexpr const char* kOwnedClass = "qz-owned";
constexpr const char* kImplKey = "qz-native-window";

// Our widgets draw everything themselves and are sized by the library alone:
// the theme's paddings, borders and minimum sizes must not enlarge them.
void installCss() {
    static bool done = false;
    if (done)
        return;
    done = true;
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css,
                                    ".qz-owned, .qz-owned * { min-width: 0; min-height: 0; "
                                    "padding: 0; margin: 0; border-width: 0; box-shadow: none; "
                                    "outline-width: 0; }",
                                    -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
}

std::string utf8(const std::u16string& s) {
    return port::utf::toUtf8(s);
}

int virtualKey(guint keyval) {
    switch (keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_ISO_Enter:
            return VK_RETURN;
        case GDK_KEY_Escape:
            return VK_ESCAPE;
        case GDK_KEY_space:
        case GDK_KEY_KP_Space:
            return VK_SPACE;
        default:
            return 0;
    }
}

cairo_region_t* toCairoRegion(const Region& region) {
    cairo_region_t* r = cairo_region_create();
    for (const Rect& rect : region.rects())
        if (!rect.isEmpty()) {
            const cairo_rectangle_int_t c{rect.left, rect.top, rect.width(), rect.height()};
            cairo_region_union_rectangle(r, &c);
        }
    return r;
}

GdkPixbuf* toPixbuf(const Bitmap& bitmap) {
    if (bitmap.empty())
        return nullptr;
    GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, bitmap.width(), bitmap.height());
    if (!pb)
        return nullptr;
    guchar* px = gdk_pixbuf_get_pixels(pb);
    const int rowstride = gdk_pixbuf_get_rowstride(pb);
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x) {
            const COLORREF c = bitmap.pixel(x, y);
            guchar* p = px + y * rowstride + x * 4;
            p[0] = static_cast<guchar>(GetRValue(c));
            p[1] = static_cast<guchar>(GetGValue(c));
            p[2] = static_cast<guchar>(GetBValue(c));
            p[3] = bitmap.alpha(x, y);
        }
    return pb;
}

// Pixels outside the region become transparent.
void applyRegion(Bitmap& bitmap, const Region& region) {
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x)
            if (!region.contains(x, y))
                bitmap.data()[static_cast<std::size_t>(y) * bitmap.width() + x] = 0;
}

// Premultiplied pixels scaled by alpha/255.
void applyOpacity(Bitmap& bitmap, int alpha) {
    const std::size_t n = static_cast<std::size_t>(bitmap.width()) * bitmap.height();
    std::uint32_t* px = bitmap.data();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t out = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint32_t c = (px[i] >> shift) & 0xFF;
            out |= ((c * static_cast<std::uint32_t>(alpha) + 127) / 255) << shift;
        }
        px[i] = out;
    }
}

class GtkBackend;

class GtkNative final : public NativeWindow {
  public:
    GtkNative(GtkBackend& backend, WidgetKind kind, GtkNative* parent, GtkNative* owner);
    ~GtkNative() override;

    WidgetKind kind() const override { return kind_; }
    void setHandler(WindowHandler* handler) override { handler_ = handler; }
    WindowHandler* handler() const override { return handler_; }
    NativeWindow* parent() const override { return parent_; }

    void setBounds(const Rect& bounds) override;
    Rect bounds() const override { return bounds_; }
    void setText(const std::u16string& text) override;
    std::u16string text() const override { return text_; }
    void setVisible(bool visible) override;
    bool isVisible() const override { return visible_; }
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return enabled_; }
    void setRegion(const Region* region) override;
    void setOpacity(int alpha) override;
    int opacity() const override { return opacity_; }
    void setIcons(const Bitmap* large, const Bitmap* small) override;
    void invalidate() override;
    void update() override { invalidate(); }
    void setFocus() override;
    bool hasFocus() const override;
    void setDefault(bool isDefault) override;
    void setProgressValue(double fraction) override;
    void setHandCursor(bool hand) override { hand_ = hand; }
    void setRtl(bool rtl) override;
    void centre(const NativeWindow* owner) override;
    void setTopMost(bool topMost) override;
    void beginMoveDrag(Point screen) override;
    void setTabStop(bool tabStop) override { tabStop_ = tabStop; }

    bool isTopLevel() const { return kind_ == WidgetKind::TopLevel; }
    GtkWidget* widget() const { return widget_; }
    GtkWindow* gtkWindow() const { return GTK_WINDOW(widget_); }
    GtkNative* top() {
        GtkNative* w = this;
        while (w && !w->isTopLevel())
            w = w->parent_;
        return w;
    }
    // The origin of this window in its top-level's client coordinates.
    Point originInTop() const {
        Point p;
        for (const GtkNative* w = this; w && !w->isTopLevel(); w = w->parent_) {
            p.x += w->bounds_.left;
            p.y += w->bounds_.top;
        }
        return p;
    }
    bool shownInTree() const {
        for (const GtkNative* w = this; w && !w->isTopLevel(); w = w->parent_)
            if (!w->visible_)
                return false;
        return true;
    }
    bool inRegion(int x, int y) const { return !hasRegion_ || region_.contains(x, y); }
    bool isDefault() const { return isDefault_; }
    bool tabStop() const { return tabStop_; }
    const std::vector<GtkNative*>& descendants() const { return descendants_; }

    // Paints this window (not its children) through a canvas on cr, whose
    // origin is this window's top-left corner.
    void paintSelf(cairo_t* cr);
    // This window and its shown descendants (render without the toolkit).
    void paintTree(cairo_t* cr);

    // Button click rule of the test drivers.
    bool mouseArmed = false;
    bool spaceArmed = false;

  private:
    friend class GtkBackend;
    void placeChildren();
    void syncVisibility();
    void connectEvents(GtkWidget* w);
    void forgetChild(GtkNative* child);

    static gboolean onDraw(GtkWidget*, cairo_t* cr, gpointer self);
    static gboolean onButton(GtkWidget*, GdkEventButton* e, gpointer self);
    static gboolean onMotion(GtkWidget*, GdkEventMotion* e, gpointer self);
    static gboolean onCrossing(GtkWidget*, GdkEventCrossing* e, gpointer self);
    static gboolean onKey(GtkWidget*, GdkEventKey* e, gpointer self);
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
    static gboolean onConfigure(GtkWidget*, GdkEventConfigure*, gpointer self);
    static gboolean onWindowFocus(GtkWidget*, GdkEventFocus* e, gpointer self);
    static void onSetFocus(GtkWindow*, GtkWidget* focus, gpointer self);
    static void onClickedSignal(GtkButton*, gpointer self);

    bool ownsEvent(GdkWindow* w) const;
    // False when this event was seen already: under a modal loop's grab GTK
    // gives the grabbing window an event twice (first crack, then the walk
    // up from the event's widget).
    bool firstSight(const GdkEvent* e);
    void moveTabFocus(bool forward);

    GtkBackend& backend_;
    WidgetKind kind_;
    GtkNative* parent_;
    WindowHandler* handler_ = nullptr;
    GtkWidget* widget_ = nullptr;  // GtkWindow for a top-level, else the control
    GtkWidget* fixed_ = nullptr;   // top-level: the container of every control
    Rect bounds_;
    std::u16string text_;
    bool visible_ = false;
    bool enabled_ = true;
    bool hasRegion_ = false;
    Region region_;
    int opacity_ = -1;
    bool isDefault_ = false;
    bool hand_ = false;
    bool tabStop_ = true;
    std::vector<GtkNative*> children_;
    // Top-level: every control below it in creation order (tab order).
    std::vector<GtkNative*> descendants_;
    // Top-level: the control that has the focus as we last told handlers.
    GtkNative* focused_ = nullptr;
    const GdkEvent* lastEvent_ = nullptr;
    guint32 lastTime_ = 0;
    GdkEventType lastType_ = GDK_NOTHING;
};

class GtkBackend final : public Backend {
  public:
    GtkBackend();
    ~GtkBackend() override;

    bool isOffscreen() const override { return false; }
    std::unique_ptr<NativeWindow> createTopLevel(NativeWindow* owner) override {
        return std::make_unique<GtkNative>(*this, WidgetKind::TopLevel, nullptr,
                                           static_cast<GtkNative*>(owner));
    }
    std::unique_ptr<NativeWindow> createChild(NativeWindow& parent, WidgetKind kind,
                                              const Rect& bounds) override {
        if (kind == WidgetKind::TopLevel)
            kind = WidgetKind::Label;
        auto w =
            std::make_unique<GtkNative>(*this, kind, static_cast<GtkNative*>(&parent), nullptr);
        w->setBounds(bounds);
        return w;
    }
    void runModalLoop(NativeWindow& window, const std::function<bool()>& done) override;
    void runPending() override;
    Size screenSize() const override;
    Bitmap render(NativeWindow& window) override;
    Bitmap captureScreen() override;

    void simulateMouseDown(NativeWindow& window, Point client) override;
    void simulateMouseUp(NativeWindow& window, Point client) override;
    void simulateMouseMove(NativeWindow& window, Point client) override;
    void simulateMouseLeave(NativeWindow& window) override;
    void simulateKey(NativeWindow& window, int vk, bool down) override;

    bool alive(const GtkNative* w) const { return live_.count(w) != 0; }
    void added(GtkNative* w) { live_.insert(w); }
    void removed(GtkNative* w) { live_.erase(w); }

    // Takes and dispatches what the thread's message queue holds.
    void pumpMessages();

  private:
    void leaveLoop();

    GSource* source_ = nullptr;
    std::set<const GtkNative*> live_;
    int depth_ = 0;
    bool quitPending_ = false;
    int quitCode_ = 0;
};

// ------------------------------------------------------------ GtkNative

GtkNative::GtkNative(GtkBackend& backend, WidgetKind kind, GtkNative* parent, GtkNative* owner)
    : backend_(backend), kind_(kind), parent_(parent) {
    backend_.added(this);
    if (isTopLevel()) {
        widget_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        g_object_ref(widget_);
        gtk_window_set_decorated(gtkWindow(), FALSE);
        gtk_window_set_resizable(gtkWindow(), FALSE);
        gtk_widget_set_app_paintable(widget_, TRUE);
        if (owner && owner->isTopLevel())
            gtk_window_set_transient_for(gtkWindow(), owner->gtkWindow());
        fixed_ = gtk_fixed_new();
        gtk_container_add(GTK_CONTAINER(widget_), fixed_);
        gtk_widget_show(fixed_);
        gtk_widget_add_events(widget_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                           GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                                           GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK |
                                           GDK_FOCUS_CHANGE_MASK | GDK_STRUCTURE_MASK);
        g_signal_connect(fixed_, "draw", G_CALLBACK(onDraw), this);
        g_signal_connect(widget_, "key-press-event", G_CALLBACK(onKey), this);
        g_signal_connect(widget_, "key-release-event", G_CALLBACK(onKey), this);
        g_signal_connect(widget_, "delete-event", G_CALLBACK(onDelete), this);
        g_signal_connect(widget_, "configure-event", G_CALLBACK(onConfigure), this);
        g_signal_connect(widget_, "focus-in-event", G_CALLBACK(onWindowFocus), this);
        g_signal_connect(widget_, "focus-out-event", G_CALLBACK(onWindowFocus), this);
        g_signal_connect_after(widget_, "set-focus", G_CALLBACK(onSetFocus), this);
        connectEvents(widget_);
        return;
    }

    switch (kind_) {
        case WidgetKind::Button:
        case WidgetKind::Link:
            widget_ = gtk_button_new();
            gtk_widget_set_can_default(widget_, TRUE);
            g_signal_connect(widget_, "clicked", G_CALLBACK(onClickedSignal), this);
            if (kind_ == WidgetKind::Link)
                atk_object_set_role(gtk_widget_get_accessible(widget_), ATK_ROLE_LINK);
            break;
        case WidgetKind::Progress:
            widget_ = gtk_progress_bar_new();
            break;
        default:
            widget_ = gtk_drawing_area_new();
            atk_object_set_role(gtk_widget_get_accessible(widget_), ATK_ROLE_LABEL);
            break;
    }
    g_object_ref_sink(widget_);
    gtk_style_context_add_class(gtk_widget_get_style_context(widget_), kOwnedClass);
    // Labels and pictures are transparent to the mouse, as static controls
    // are: a press on them is the window's (a press on a dialog's text moves
    // the dialog).
    if (kind_ != WidgetKind::Label)
        gtk_widget_add_events(widget_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                           GDK_POINTER_MOTION_MASK | GDK_ENTER_NOTIFY_MASK |
                                           GDK_LEAVE_NOTIFY_MASK);
    g_signal_connect(widget_, "draw", G_CALLBACK(onDraw), this);
    connectEvents(widget_);
    g_object_set_data(G_OBJECT(widget_), kImplKey, this);

    GtkNative* t = top();
    if (parent_)
        parent_->children_.push_back(this);
    if (t) {
        t->descendants_.push_back(this);
        gtk_fixed_put(GTK_FIXED(t->fixed_), widget_, 0, 0);
    }
    gtk_widget_set_visible(widget_, FALSE);
}

GtkNative::~GtkNative() {
    backend_.removed(this);
    for (GtkNative* c : children_)
        c->parent_ = nullptr;
    if (isTopLevel()) {
        g_signal_handlers_disconnect_by_data(fixed_, this);
        g_signal_handlers_disconnect_by_data(widget_, this);
        for (GtkNative* d : descendants_)
            g_signal_handlers_disconnect_by_data(d->widget_, d);
        gtk_widget_destroy(widget_);
        g_object_unref(widget_);
        return;
    }
    GtkNative* t = top();
    if (parent_)
        parent_->forgetChild(this);
    if (t) {
        auto& d = t->descendants_;
        d.erase(std::remove(d.begin(), d.end(), this), d.end());
        if (t->focused_ == this)
            t->focused_ = nullptr;
    }
    g_signal_handlers_disconnect_by_data(widget_, this);
    gtk_widget_destroy(widget_);
    g_object_unref(widget_);
}

void GtkNative::forgetChild(GtkNative* child) {
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

void GtkNative::connectEvents(GtkWidget* w) {
    g_signal_connect(w, "button-press-event", G_CALLBACK(onButton), this);
    g_signal_connect(w, "button-release-event", G_CALLBACK(onButton), this);
    g_signal_connect(w, "motion-notify-event", G_CALLBACK(onMotion), this);
    g_signal_connect(w, "enter-notify-event", G_CALLBACK(onCrossing), this);
    g_signal_connect(w, "leave-notify-event", G_CALLBACK(onCrossing), this);
}

void GtkNative::setBounds(const Rect& bounds) {
    bounds_ = bounds;
    const int w = std::max(bounds.width(), 1);
    const int h = std::max(bounds.height(), 1);
    if (isTopLevel()) {
        gtk_widget_set_size_request(fixed_, w, h);
        gtk_window_resize(gtkWindow(), w, h);
        gtk_window_move(gtkWindow(), bounds.left, bounds.top);
        return;
    }
    gtk_widget_set_size_request(widget_, w, h);
    placeChildren();
}

// Moves this control and its descendants to their places in the top-level.
void GtkNative::placeChildren() {
    GtkNative* t = top();
    if (!t || isTopLevel())
        return;
    const Point o = originInTop();
    gtk_fixed_move(GTK_FIXED(t->fixed_), widget_, o.x, o.y);
    for (GtkNative* c : children_)
        c->placeChildren();
}

void GtkNative::setText(const std::u16string& text) {
    text_ = text;
    const std::string s = utf8(text);
    if (isTopLevel()) {
        gtk_window_set_title(gtkWindow(), s.c_str());
        return;
    }
    if (GTK_IS_BUTTON(widget_)) {
        // The label makes the button's accessible name; we draw the text.
        gtk_button_set_label(GTK_BUTTON(widget_), s.c_str());
        if (GtkWidget* label = gtk_bin_get_child(GTK_BIN(widget_))) {
            gtk_widget_set_no_show_all(label, TRUE);
            gtk_widget_hide(label);
        }
    } else if (GTK_IS_PROGRESS_BAR(widget_)) {
        gtk_progress_bar_set_text(GTK_PROGRESS_BAR(widget_), s.c_str());
    }
    atk_object_set_name(gtk_widget_get_accessible(widget_), s.c_str());
    invalidate();
}

void GtkNative::setVisible(bool visible) {
    visible_ = visible;
    if (isTopLevel()) {
        if (visible)
            gtk_widget_show(widget_);
        else
            gtk_widget_hide(widget_);
        return;
    }
    syncVisibility();
}

void GtkNative::syncVisibility() {
    gtk_widget_set_visible(widget_, shownInTree() && top() != nullptr);
    for (GtkNative* c : children_)
        c->syncVisibility();
}

void GtkNative::setEnabled(bool enabled) {
    enabled_ = enabled;
    gtk_widget_set_sensitive(widget_, enabled);
}

void GtkNative::setRegion(const Region* region) {
    hasRegion_ = region != nullptr;
    region_ = region ? *region : Region();
    if (isTopLevel()) {
        cairo_region_t* r = region ? toCairoRegion(*region) : nullptr;
        gtk_widget_shape_combine_region(widget_, r);
        gtk_widget_input_shape_combine_region(widget_, r);
        if (r)
            cairo_region_destroy(r);
    }
    invalidate();
}

void GtkNative::setOpacity(int alpha) {
    opacity_ = alpha < 0 ? -1 : std::min(alpha, 255);
    if (isTopLevel())
        gtk_widget_set_opacity(widget_, opacity_ < 0 ? 1.0 : opacity_ / 255.0);
}

void GtkNative::setIcons(const Bitmap* large, const Bitmap* small) {
    if (!isTopLevel())
        return;
    GList* list = nullptr;
    for (const Bitmap* b : {large, small})
        if (b)
            if (GdkPixbuf* pb = toPixbuf(*b))
                list = g_list_append(list, pb);
    gtk_window_set_icon_list(gtkWindow(), list);
    g_list_free_full(list, g_object_unref);
}

void GtkNative::invalidate() {
    gtk_widget_queue_draw(widget_);
}

void GtkNative::setFocus() {
    if (isTopLevel()) {
        gtk_window_set_focus(gtkWindow(), nullptr);
        return;
    }
    if (!gtk_widget_get_can_focus(widget_))
        gtk_widget_set_can_focus(widget_, TRUE);
    gtk_widget_grab_focus(widget_);
}

bool GtkNative::hasFocus() const {
    if (isTopLevel())
        return gtk_window_is_active(GTK_WINDOW(widget_)) &&
               gtk_window_get_focus(GTK_WINDOW(widget_)) == nullptr;
    return gtk_widget_is_focus(widget_);
}

void GtkNative::setDefault(bool isDefault) {
    isDefault_ = isDefault;
    GtkNative* t = top();
    if (!t || isTopLevel() || !GTK_IS_BUTTON(widget_))
        return;
    if (isDefault)
        gtk_window_set_default(t->gtkWindow(), widget_);
    else if (gtk_window_get_default_widget(t->gtkWindow()) == widget_)
        gtk_window_set_default(t->gtkWindow(), nullptr);
}

void GtkNative::setProgressValue(double fraction) {
    if (GTK_IS_PROGRESS_BAR(widget_))
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(widget_), std::clamp(fraction, 0.0, 1.0));
}

void GtkNative::setRtl(bool rtl) {
    gtk_widget_set_direction(widget_, rtl ? GTK_TEXT_DIR_RTL : GTK_TEXT_DIR_LTR);
}

void GtkNative::centre(const NativeWindow* owner) {
    if (!isTopLevel())
        return;
    Rect area;
    if (owner && owner->kind() == WidgetKind::TopLevel) {
        area = owner->bounds();
    } else {
        const Size s = backend_.screenSize();
        area = Rect{0, 0, s.cx, s.cy};
    }
    Rect r = bounds_;
    r.offset(area.left + (area.width() - r.width()) / 2 - r.left,
             area.top + (area.height() - r.height()) / 2 - r.top);
    setBounds(r);
}

void GtkNative::setTopMost(bool topMost) {
    if (isTopLevel())
        gtk_window_set_keep_above(gtkWindow(), topMost);
}

void GtkNative::beginMoveDrag(Point screen) {
    if (isTopLevel())
        gtk_window_begin_move_drag(gtkWindow(), 1, screen.x, screen.y,
                                   gtk_get_current_event_time());
}

void GtkNative::paintSelf(cairo_t* cr) {
    if (!handler_)
        return;
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, bounds_.width(), bounds_.height());
    cairo_clip(cr);
    if (hasRegion_) {
        cairo_region_t* r = toCairoRegion(region_);
        gdk_cairo_region(cr, r);
        cairo_clip(cr);
        cairo_region_destroy(r);
    }
    {
        auto canvas = canvasForCairo(cr);
        if (canvas)
            handler_->onPaint(*canvas);
    }
    cairo_restore(cr);
}

void GtkNative::paintTree(cairo_t* cr) {
    paintSelf(cr);
    const Point base = originInTop();
    const std::vector<GtkNative*>& all =
        isTopLevel() ? descendants_ : (top() ? top()->descendants_ : children_);
    for (GtkNative* d : all) {
        if (d == this || !d->shownInTree())
            continue;
        // Only this window's own descendants.
        bool below = isTopLevel();
        for (GtkNative* p = d->parent_; p && !below; p = p->parent_)
            below = p == this;
        if (!below)
            continue;
        const Point o = d->originInTop();
        cairo_save(cr);
        cairo_translate(cr, o.x - base.x, o.y - base.y);
        d->paintSelf(cr);
        cairo_restore(cr);
    }
}

gboolean GtkNative::onDraw(GtkWidget*, cairo_t* cr, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    w->paintSelf(cr);
    // A top-level's controls draw after it; a control draws nothing of GTK's.
    return w->isTopLevel() ? FALSE : TRUE;
}

// A top-level sees only events of its own GdkWindow, not those its
// controls let through.
bool GtkNative::ownsEvent(GdkWindow* w) const {
    return !isTopLevel() || w == gtk_widget_get_window(widget_);
}

bool GtkNative::firstSight(const GdkEvent* e) {
    const guint32 time = gdk_event_get_time(e);
    if (e == lastEvent_ && time == lastTime_ && e->type == lastType_)
        return false;
    lastEvent_ = e;
    lastTime_ = time;
    lastType_ = e->type;
    return true;
}

gboolean GtkNative::onButton(GtkWidget*, GdkEventButton* e, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (e->button != 1 || !w->ownsEvent(e->window) || !w->handler_ ||
        !w->firstSight(reinterpret_cast<GdkEvent*>(e)))
        return FALSE;
    const Point p{static_cast<int>(e->x), static_cast<int>(e->y)};
    if (e->type == GDK_BUTTON_PRESS || e->type == GDK_2BUTTON_PRESS) {
        // A press outside a control's region is not the control's.
        if (!w->inRegion(p.x, p.y))
            return TRUE;
        w->handler_->onMouseDown(p, e->type == GDK_2BUTTON_PRESS);
    } else if (e->type == GDK_BUTTON_RELEASE) {
        w->handler_->onMouseUp(p);
    }
    return FALSE;
}

gboolean GtkNative::onMotion(GtkWidget*, GdkEventMotion* e, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (w->ownsEvent(e->window) && w->handler_ && w->firstSight(reinterpret_cast<GdkEvent*>(e)))
        w->handler_->onMouseMove(Point{static_cast<int>(e->x), static_cast<int>(e->y)});
    return FALSE;
}

gboolean GtkNative::onCrossing(GtkWidget*, GdkEventCrossing* e, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (!w->ownsEvent(e->window) || e->mode == GDK_CROSSING_GTK_GRAB ||
        e->mode == GDK_CROSSING_GTK_UNGRAB || !w->firstSight(reinterpret_cast<GdkEvent*>(e)))
        return FALSE;
    GtkNative* t = w->top();
    if (e->type == GDK_ENTER_NOTIFY) {
        if (w->hand_ && t && gtk_widget_get_window(t->widget_)) {
            GdkWindow* gw = gtk_widget_get_window(t->widget_);
            GdkCursor* c = gdk_cursor_new_from_name(gdk_window_get_display(gw), "pointer");
            gdk_window_set_cursor(gw, c);
            if (c)
                g_object_unref(c);
        }
        return FALSE;
    }
    if (w->hand_ && t && gtk_widget_get_window(t->widget_))
        gdk_window_set_cursor(gtk_widget_get_window(t->widget_), nullptr);
    if (w->handler_)
        w->handler_->onMouseLeave();
    return FALSE;
}

void GtkNative::moveTabFocus(bool forward) {
    std::vector<GtkNative*> stops;
    for (GtkNative* d : descendants_)
        if (d->tabStop_ && d->shownInTree() && d->enabled_ && GTK_IS_BUTTON(d->widget_))
            stops.push_back(d);
    if (stops.empty())
        return;
    GtkWidget* f = gtk_window_get_focus(gtkWindow());
    auto it =
        std::find_if(stops.begin(), stops.end(), [f](GtkNative* d) { return d->widget_ == f; });
    std::size_t next = 0;
    if (it != stops.end()) {
        const std::size_t at = static_cast<std::size_t>(it - stops.begin());
        next = forward ? (at + 1) % stops.size() : (at + stops.size() - 1) % stops.size();
    } else if (!forward) {
        next = stops.size() - 1;
    }
    stops[next]->setFocus();
}

gboolean GtkNative::onKey(GtkWidget*, GdkEventKey* e, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (!w->firstSight(reinterpret_cast<GdkEvent*>(e)))
        return FALSE;
    const bool down = e->type == GDK_KEY_PRESS;
    if (e->keyval == GDK_KEY_Tab || e->keyval == GDK_KEY_ISO_Left_Tab ||
        e->keyval == GDK_KEY_KP_Tab) {
        // Tab order is creation order, not GTK's geometric order.
        if (down)
            w->moveTabFocus(e->keyval != GDK_KEY_ISO_Left_Tab && (e->state & GDK_SHIFT_MASK) == 0);
        return TRUE;
    }
    const int vk = virtualKey(e->keyval);
    if (vk == 0)
        return FALSE;
    GtkNative* target = w;
    if (GtkWidget* f = gtk_window_get_focus(w->gtkWindow()))
        if (auto* c = static_cast<GtkNative*>(g_object_get_data(G_OBJECT(f), kImplKey)))
            target = c;
    if (target->handler_) {
        if (down)
            target->handler_->onKeyDown(vk);
        else
            target->handler_->onKeyUp(vk);
    }
    if (vk == VK_ESCAPE && down && w->backend_.alive(w) && w->handler_) {
        w->handler_->onCloseRequest();
        return TRUE;
    }
    // Space and Enter go on to GTK: the focused button or the default one.
    return FALSE;
}

gboolean GtkNative::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (w->handler_)
        w->handler_->onCloseRequest();
    return TRUE;  // the library decides whether the window ends
}

gboolean GtkNative::onConfigure(GtkWidget* widget, GdkEventConfigure*, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (GdkWindow* gw = gtk_widget_get_window(widget)) {
        int x = 0, y = 0;
        gdk_window_get_origin(gw, &x, &y);
        w->bounds_.offset(x - w->bounds_.left, y - w->bounds_.top);
    }
    return FALSE;
}

gboolean GtkNative::onWindowFocus(GtkWidget*, GdkEventFocus* e, gpointer self) {
    auto* w = static_cast<GtkNative*>(self);
    if (w->handler_ && w->focused_ == nullptr)
        w->handler_->onFocus(e->in != 0);
    return FALSE;
}

void GtkNative::onSetFocus(GtkWindow*, GtkWidget* focus, gpointer self) {
    auto* t = static_cast<GtkNative*>(self);
    GtkNative* now =
        focus ? static_cast<GtkNative*>(g_object_get_data(G_OBJECT(focus), kImplKey)) : nullptr;
    GtkNative* before = t->focused_;
    if (before == now)
        return;
    t->focused_ = now;
    if (before && before->handler_)
        before->handler_->onFocus(false);
    if (now && now->handler_ && t->backend_.alive(now))
        now->handler_->onFocus(true);
}

void GtkNative::onClickedSignal(GtkButton*, gpointer self) {
    // Reported from the main loop, not from inside the signal: a click that
    // an assistive technology asked for arrives within its D-Bus call, and a
    // handler that opens a modal box there would keep that call (and every
    // later request to this program) waiting until the box closed.
    struct Pending {
        GtkBackend* backend;
        GtkNative* window;  // looked at only while the backend knows it alive
    };
    auto* target = static_cast<GtkNative*>(self);
    auto* pending = new Pending{&target->backend_, target};
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* p = static_cast<Pending*>(data);
            GtkNative* w = p->window;
            if (p->backend->alive(w) && w->handler_)
                w->handler_->onClicked();
            return G_SOURCE_REMOVE;
        },
        pending, [](gpointer data) { delete static_cast<Pending*>(data); });
}

// ------------------------------------------------------------ message source

struct MessageSource {
    GSource base;
    GtkBackend* backend;
};

gboolean dispatchMessages(GSource* source, GSourceFunc, gpointer) {
    reinterpret_cast<MessageSource*>(source)->backend->pumpMessages();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs messageSourceFuncs = {nullptr, nullptr, dispatchMessages, nullptr, nullptr, nullptr};

// ------------------------------------------------------------ GtkBackend

GtkBackend::GtkBackend() {
    installCss();
    const int fd = port::threadQueueFd();
    if (fd < 0)
        return;
    source_ = g_source_new(&messageSourceFuncs, sizeof(MessageSource));
    reinterpret_cast<MessageSource*>(source_)->backend = this;
    g_source_add_unix_fd(source_, fd, static_cast<GIOCondition>(G_IO_IN));
    g_source_set_name(source_, "qz-messages");
    // A message handler may run a modal loop (a box opened from a posted
    // message); that nested loop must go on taking messages.
    g_source_set_can_recurse(source_, TRUE);
    g_source_attach(source_, nullptr);
}

GtkBackend::~GtkBackend() {
    if (source_) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
}

// A quit request ends the loops of this backend; the thread's own loop gets
// it back once the outermost of them has returned.
void GtkBackend::pumpMessages() {
    for (int i = 0; i < 256 && !quitPending_; ++i) {
        port::Msg m;
        if (!port::peekMessage(m, true))
            return;
        if (m.message == port::WM_QUIT) {
            quitPending_ = true;
            quitCode_ = static_cast<int>(m.wParam);
            return;
        }
        port::dispatchMessage(m);
    }
}

void GtkBackend::leaveLoop() {
    if (--depth_ == 0 && quitPending_) {
        quitPending_ = false;
        port::postQuitMessage(quitCode_);
    }
}

void GtkBackend::runModalLoop(NativeWindow& window, const std::function<bool()>& done) {
    auto* w = static_cast<GtkNative*>(&window);
    const bool modalWindow = w->isTopLevel();
    const bool wasModal = modalWindow && gtk_window_get_modal(w->gtkWindow());
    if (modalWindow)
        gtk_window_set_modal(w->gtkWindow(), TRUE);
    ++depth_;
    while (!quitPending_ && !done())
        g_main_context_iteration(nullptr, TRUE);
    if (modalWindow && alive(w))
        gtk_window_set_modal(w->gtkWindow(), wasModal);
    leaveLoop();
}

void GtkBackend::runPending() {
    ++depth_;
    // Bounded: a window that keeps asking for redraws must not hold us here.
    for (int i = 0; i < 10000 && !quitPending_; ++i)
        if (!g_main_context_iteration(nullptr, FALSE))
            break;
    leaveLoop();
}

Size GtkBackend::screenSize() const {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* m = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!m && display)
        m = gdk_display_get_monitor(display, 0);
    if (!m)
        return {1280, 1024};
    GdkRectangle g;
    gdk_monitor_get_geometry(m, &g);
    return {g.width, g.height};
}

Bitmap GtkBackend::render(NativeWindow& window) {
    auto& w = static_cast<GtkNative&>(window);
    const Rect b = w.bounds();
    Bitmap out(std::max(b.width(), 0), std::max(b.height(), 0));
    if (out.empty())
        return out;
    std::fill(out.data(), out.data() + static_cast<std::size_t>(out.width()) * out.height(), 0u);
    cairo_surface_t* s = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(out.data()), CAIRO_FORMAT_ARGB32, out.width(),
        out.height(), out.stride());
    cairo_t* cr = cairo_create(s);
    GtkAllocation a;
    gtk_widget_get_allocation(w.widget(), &a);
    if (w.isTopLevel() && gtk_widget_is_drawable(w.widget()) && a.width == b.width() &&
        a.height == b.height())
        gtk_widget_draw(w.widget(), cr);  // what the screen shows
    else
        w.paintTree(cr);
    cairo_destroy(cr);
    cairo_surface_flush(s);
    cairo_surface_destroy(s);
    if (w.hasRegion_)
        applyRegion(out, w.region_);
    if (w.isTopLevel() && w.opacity() >= 0)
        applyOpacity(out, w.opacity());
    return out;
}

Bitmap GtkBackend::captureScreen() {
    GdkWindow* root = gdk_get_default_root_window();
    if (!root)
        return {};
    const int width = gdk_window_get_width(root);
    const int height = gdk_window_get_height(root);
    GdkPixbuf* pb = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
    if (!pb)
        return {};
    Bitmap out(width, height);
    const guchar* px = gdk_pixbuf_get_pixels(pb);
    const int rowstride = gdk_pixbuf_get_rowstride(pb);
    const int channels = gdk_pixbuf_get_n_channels(pb);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const guchar* p = px + y * rowstride + x * channels;
            out.setPixel(x, y, RGB(p[0], p[1], p[2]), channels == 4 ? p[3] : 255);
        }
    g_object_unref(pb);
    return out;
}

void GtkBackend::simulateMouseDown(NativeWindow& window, Point client) {
    auto& w = static_cast<GtkNative&>(window);
    if (!w.isEnabled() || !w.inRegion(client.x, client.y))
        return;
    if (w.handler())
        w.handler()->onMouseDown(client, false);
    if (alive(&w) && w.kind() == WidgetKind::Button)
        w.mouseArmed = true;
}

void GtkBackend::simulateMouseUp(NativeWindow& window, Point client) {
    auto& w = static_cast<GtkNative&>(window);
    if (!w.isEnabled())
        return;
    const bool armed = w.mouseArmed;
    w.mouseArmed = false;
    if (w.handler())
        w.handler()->onMouseUp(client);
    const Rect own{0, 0, w.bounds().width(), w.bounds().height()};
    if (armed && alive(&w) && own.contains(client) && w.inRegion(client.x, client.y) && w.handler())
        w.handler()->onClicked();
}

void GtkBackend::simulateMouseMove(NativeWindow& window, Point client) {
    auto& w = static_cast<GtkNative&>(window);
    if (w.isEnabled() && w.handler())
        w.handler()->onMouseMove(client);
}

void GtkBackend::simulateMouseLeave(NativeWindow& window) {
    auto& w = static_cast<GtkNative&>(window);
    if (w.handler())
        w.handler()->onMouseLeave();
}

void GtkBackend::simulateKey(NativeWindow& window, int vk, bool down) {
    auto& w = static_cast<GtkNative&>(window);
    if (!w.isEnabled())
        return;
    if (w.handler()) {
        if (down)
            w.handler()->onKeyDown(vk);
        else
            w.handler()->onKeyUp(vk);
    }
    if (!alive(&w))
        return;
    if (w.kind() == WidgetKind::Button && vk == VK_SPACE) {
        const bool armed = w.spaceArmed;
        w.spaceArmed = down;
        if (!down && armed && w.handler())
            w.handler()->onClicked();
        return;
    }
    if (!w.isTopLevel() || !down)
        return;
    if (vk == VK_ESCAPE && w.handler()) {
        w.handler()->onCloseRequest();
    } else if (vk == VK_RETURN) {
        for (GtkNative* d : w.descendants())
            if (d->isDefault() && d->isEnabled() && d->handler()) {
                d->handler()->onClicked();
                break;
            }
    }
}

}  // namespace

std::unique_ptr<Backend> makeGtkBackend() {
    static bool initialised = false;
    static bool available = false;
    if (!initialised) {
        initialised = true;
        available = gtk_init_check(nullptr, nullptr) != FALSE;
    }
    if (!available)
        return nullptr;
    return std::make_unique<GtkBackend>();
}

}  // namespace nork::gui::detail
