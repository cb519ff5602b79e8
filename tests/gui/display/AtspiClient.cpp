// qz_atspi_client: drives a running program's windows the way a screen
// reader does, over AT-SPI (libatspi), for the display tests.
//
//   qz_atspi_client [--timeout SECONDS] [--app NAME] STEP...
//
// Steps, run in order; each waits (up to the timeout) for the accessible with
// that role name ("push button", "label", "link", "progress bar") and
// accessible name to appear in an application (the one named NAME, or any):
//   find ROLE NAME             it exists
//   press ROLE NAME            its first action is run (a button's "click")
//   value ROLE NAME MIN MAX    its current value lies in [MIN, MAX]
//   size ROLE NAME W H         its extent on the screen is W x H pixels
//   shot FILE                  the program's newest showing window is saved
//                              as a PNG (through $QZ_SCREENSHOT_TOOL)
//   ended                      the application has left the desktop (it quit)
//   run COMMAND                a shell command, which must exit with 0 (what
//                              the world does meanwhile: a drive pulled out)
// Exit status 0 when every step succeeded; 1 with a message otherwise.
#include <atspi/atspi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    double timeoutSeconds = 20;
    std::string app;
};

std::string takeString(gchar* s) {
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

// Depth-first search below `acc`; a new reference or nullptr.
AtspiAccessible* findBelow(AtspiAccessible* acc, const std::string& role, const std::string& name,
                           int depth) {
    if (depth > 32)
        return nullptr;
    if (takeString(atspi_accessible_get_role_name(acc, nullptr)) == role &&
        takeString(atspi_accessible_get_name(acc, nullptr)) == name)
        return static_cast<AtspiAccessible*>(g_object_ref(acc));
    const gint n = atspi_accessible_get_child_count(acc, nullptr);
    for (gint i = 0; i < n; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(acc, i, nullptr);
        if (!child)
            continue;
        AtspiAccessible* found = findBelow(child, role, name, depth + 1);
        g_object_unref(child);
        if (found)
            return found;
    }
    return nullptr;
}

AtspiAccessible* findOnce(const Options& o, const std::string& role, const std::string& name) {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop)
        return nullptr;
    atspi_accessible_clear_cache(desktop);
    AtspiAccessible* found = nullptr;
    const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint i = 0; i < apps && !found; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (!app)
            continue;
        if (o.app.empty() || takeString(atspi_accessible_get_name(app, nullptr)) == o.app)
            found = findBelow(app, role, name, 0);
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return found;
}

// What the desktop shows, for the log of a failed step.
void dumpBelow(AtspiAccessible* acc, int depth) {
    if (depth > 32)
        return;
    std::fprintf(stderr, "%*s%s '%s'\n", depth * 2, "",
                 takeString(atspi_accessible_get_role_name(acc, nullptr)).c_str(),
                 takeString(atspi_accessible_get_name(acc, nullptr)).c_str());
    const gint n = atspi_accessible_get_child_count(acc, nullptr);
    for (gint i = 0; i < n; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(acc, i, nullptr);
        if (!child)
            continue;
        dumpBelow(child, depth + 1);
        g_object_unref(child);
    }
}

void dumpDesktop() {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop)
        return;
    atspi_accessible_clear_cache(desktop);
    std::fprintf(stderr, "qz_atspi_client: the desktop now:\n");
    dumpBelow(desktop, 1);
    g_object_unref(desktop);
}

AtspiAccessible* waitFor(const Options& o, const std::string& role, const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(o.timeoutSeconds * 1000));
    for (;;) {
        if (AtspiAccessible* a = findOnce(o, role, name))
            return a;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fprintf(stderr, "qz_atspi_client: no %s named '%s' appeared within %g s\n", role.c_str(),
                 name.c_str(), o.timeoutSeconds);
    dumpDesktop();
    return nullptr;
}

bool press(AtspiAccessible* a) {
    AtspiAction* action = atspi_accessible_get_action_iface(a);
    if (!action) {
        std::fprintf(stderr, "qz_atspi_client: the accessible has no action\n");
        return false;
    }
    GError* error = nullptr;
    const gboolean ok = atspi_action_do_action(action, 0, &error);
    if (error) {
        std::fprintf(stderr, "qz_atspi_client: action failed: %s\n", error->message);
        g_error_free(error);
    }
    g_object_unref(action);
    return ok && !error;
}

bool valueIn(AtspiAccessible* a, double lo, double hi) {
    AtspiValue* value = atspi_accessible_get_value_iface(a);
    if (!value) {
        std::fprintf(stderr, "qz_atspi_client: the accessible has no value\n");
        return false;
    }
    const double v = atspi_value_get_current_value(value, nullptr);
    g_object_unref(value);
    if (v < lo || v > hi) {
        std::fprintf(stderr, "qz_atspi_client: value %g is outside [%g, %g]\n", v, lo, hi);
        return false;
    }
    return true;
}

bool sizeIs(AtspiAccessible* a, int width, int height) {
    AtspiComponent* component = atspi_accessible_get_component_iface(a);
    if (!component) {
        std::fprintf(stderr, "qz_atspi_client: the accessible has no extent\n");
        return false;
    }
    AtspiRect* r = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr);
    g_object_unref(component);
    const bool ok = r && r->width == width && r->height == height;
    if (!ok)
        std::fprintf(stderr, "qz_atspi_client: extent %dx%d, expected %dx%d\n", r ? r->width : -1,
                     r ? r->height : -1, width, height);
    g_free(r);
    return ok;
}

// The program's newest top-level window that is showing: a modal box opened
// over the dialog is the last child of the application.
bool newestWindowExtent(const Options& o, AtspiRect& out) {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop)
        return false;
    atspi_accessible_clear_cache(desktop);
    bool found = false;
    const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint i = 0; i < apps && !found; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (!app)
            continue;
        if (o.app.empty() || takeString(atspi_accessible_get_name(app, nullptr)) == o.app) {
            for (gint w = atspi_accessible_get_child_count(app, nullptr) - 1; w >= 0 && !found;
                 --w) {
                AtspiAccessible* win = atspi_accessible_get_child_at_index(app, w, nullptr);
                if (!win)
                    continue;
                AtspiStateSet* states = atspi_accessible_get_state_set(win);
                const bool showing =
                    states && atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
                if (states)
                    g_object_unref(states);
                AtspiComponent* component =
                    showing ? atspi_accessible_get_component_iface(win) : nullptr;
                if (component) {
                    AtspiRect* r =
                        atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr);
                    if (r && r->width > 0 && r->height > 0) {
                        out = *r;
                        found = true;
                    }
                    g_free(r);
                    g_object_unref(component);
                }
                g_object_unref(win);
            }
        }
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return found;
}

// Runs a program and waits for it; true when it exited with 0.
bool runArgv(const std::vector<std::string>& args) {
    std::vector<gchar*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<gchar*>(a.c_str()));
    argv.push_back(nullptr);
    gint status = 0;
    GError* error = nullptr;
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_CHILD_INHERITS_STDIN, nullptr, nullptr,
                      nullptr, nullptr, &status, &error)) {
        std::fprintf(stderr, "qz_atspi_client: cannot run %s: %s\n", args[0].c_str(),
                     error ? error->message : "?");
        if (error)
            g_error_free(error);
        return false;
    }
    if (!g_spawn_check_wait_status(status, nullptr)) {
        std::fprintf(stderr, "qz_atspi_client: %s failed\n", args.back().c_str());
        return false;
    }
    return true;
}

bool runCommand(const std::string& command) {
    return runArgv({"/bin/sh", "-c", command});
}

// Waits until the window has been drawn (the toolkit draws after showing),
// then saves its area of the screen.
bool shot(const Options& o, const std::string& file) {
    const char* tool = std::getenv("QZ_SCREENSHOT_TOOL");
    if (!tool || !*tool) {
        std::fprintf(stderr, "qz_atspi_client: QZ_SCREENSHOT_TOOL is not set\n");
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    AtspiRect r{};
    std::vector<std::string> args = {tool, file};
    if (newestWindowExtent(o, r))
        for (int v : {r.x, r.y, r.width, r.height})
            args.push_back(std::to_string(v));
    return runArgv(args);
}

bool appEnded(const Options& o) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(o.timeoutSeconds * 1000));
    for (;;) {
        AtspiAccessible* desktop = atspi_get_desktop(0);
        bool present = false;
        if (desktop) {
            atspi_accessible_clear_cache(desktop);
            const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
            for (gint i = 0; i < apps && !present; ++i) {
                AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
                if (!app)
                    continue;
                present = takeString(atspi_accessible_get_name(app, nullptr)) == o.app;
                g_object_unref(app);
            }
            g_object_unref(desktop);
        }
        if (!present)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fprintf(stderr, "qz_atspi_client: %s was still running after %g s\n", o.app.c_str(),
                 o.timeoutSeconds);
    dumpDesktop();
    return false;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: qz_atspi_client [--timeout SECONDS] [--app NAME] "
        "(find ROLE NAME | press ROLE NAME | value ROLE NAME MIN MAX | size ROLE NAME W H |\n"
        "  shot FILE | run COMMAND | ended)...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t i = 0;
    for (; i + 1 < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
        if (args[i] == "--timeout")
            o.timeoutSeconds = std::atof(args[i + 1].c_str());
        else if (args[i] == "--app")
            o.app = args[i + 1];
        else
            return usage();
    }
    if (i >= args.size())
        return usage();
    if (atspi_init() < 0) {
        std::fprintf(stderr, "qz_atspi_client: AT-SPI is not available\n");
        return 1;
    }
    int rc = 0;
    while (i < args.size() && rc == 0) {
        const std::string step = args[i];
        if (step == "ended") {
            if (o.app.empty() || !appEnded(o))
                rc = 1;
            else
                std::printf("qz_atspi_client: ended: ok\n");
            i += 1;
            continue;
        }
        if ((step == "shot" || step == "run") && i + 2 <= args.size()) {
            const bool ok = step == "shot" ? shot(o, args[i + 1]) : runCommand(args[i + 1]);
            if (ok)
                std::printf("qz_atspi_client: %s '%s': ok\n", step.c_str(), args[i + 1].c_str());
            else
                rc = 1;
            i += 2;
            continue;
        }
        const std::size_t need = step == "value" || step == "size" ? 5 : 3;
        if ((step != "find" && step != "press" && step != "value" && step != "size") ||
            i + need > args.size())
            return usage();
        AtspiAccessible* a = waitFor(o, args[i + 1], args[i + 2]);
        if (!a) {
            rc = 1;
        } else {
            bool ok = true;
            if (step == "press")
                ok = press(a);
            else if (step == "value")
                ok = valueIn(a, std::atof(args[i + 3].c_str()), std::atof(args[i + 4].c_str()));
            else if (step == "size")
                ok = sizeIs(a, std::atoi(args[i + 3].c_str()), std::atoi(args[i + 4].c_str()));
            g_object_unref(a);
            if (!ok)
                rc = 1;
            else
                std::printf("qz_atspi_client: %s %s '%s': ok\n", step.c_str(), args[i + 1].c_str(),
                            args[i + 2].c_str());
        }
        i += need;
    }
    atspi_exit();
    return rc;
}
