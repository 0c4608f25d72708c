// The window itself: its keys, its size and state, and full screen, which F11 and the control
// bar's fallback switch, with a hint on how to leave and a bar that fades while the pointer
// rests.
#include "app/gtk/Guarded.hpp"
#include "app/gtk/WindowChrome.hpp"

#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

namespace quillfern::gtk {

namespace {

using namespace std::chrono_literals;

constexpr auto barRestingTime = 3s;

// Whether the desktop can make a window full screen. On X11 that is the window manager's work,
// and without one that offers it (a bare X server, a minimal manager) the request does nothing.
bool desktopOffersFullscreen(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  if (GDK_IS_X11_DISPLAY(display)) {
    return gdk_x11_screen_supports_net_wm_hint(gdk_x11_display_get_screen(display),
                                               "_NET_WM_STATE_FULLSCREEN")
           != FALSE;
  }
#endif
  static_cast<void>(window);
  return true;  // Wayland compositors offer full screen to every toplevel
}

}  // namespace

void WindowChrome::addShortcut(const char* accelerator, GtkShortcutAction* action) {
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(shortcuts),
      gtk_shortcut_new(gtk_shortcut_trigger_parse_string(accelerator), action));
}

// Taken before the page sees them. Escape is not among them: games use it.
void WindowChrome::addWindowKeys() {
  gtk_event_controller_set_propagation_phase(shortcuts, GTK_PHASE_CAPTURE);
  addShortcut("F11",
              gtk_callback_action_new(
                  +[](GtkWidget*, GVariant*, gpointer self) {
                    guarded([&] {
                      static_cast<void>(static_cast<WindowChrome*>(self)->toggleWindowFullscreen());
                    });
                    return gboolean{TRUE};
                  },
                  this, nullptr));
  // GTK's own actions: closing runs the window's close-request, which takes this chrome apart.
  addShortcut("<Control>w", gtk_named_action_new("window.close"));
  addShortcut("<Control>q", gtk_named_action_new("app.quit"));
  gtk_widget_add_controller(GTK_WIDGET(window), shortcuts);
}

void WindowChrome::restoreWindow(const WindowState& state) {
  gtk_window_set_default_size(window, state.width, state.height);
  if (state.maximized) {
    gtk_window_maximize(window);
  }
  if (state.fullscreen) {
    gtk_window_fullscreen(window);
  }
}

// GTK keeps the default size at the size the window has when neither maximized nor full
// screen, so the window comes back to that size when the player leaves either state.
WindowState WindowChrome::windowState() const {
  WindowState state;
  gtk_window_get_default_size(window, &state.width, &state.height);
  state.maximized = gtk_window_is_maximized(window) != FALSE;
  state.fullscreen = gtk_window_is_fullscreen(window) != FALSE;
  return state;
}

bool WindowChrome::toggleWindowFullscreen() {
  if (gtk_window_is_fullscreen(window) != FALSE) {
    gtk_window_unfullscreen(window);
    return true;
  }
  if (!desktopOffersFullscreen(window)) {
    return false;
  }
  gtk_window_fullscreen(window);
  return true;
}

void WindowChrome::followFullscreen() {
  connect(window, "notify::fullscreened", G_CALLBACK(+[](GtkWindow*, GParamSpec*, gpointer self) {
            guarded([&] { static_cast<WindowChrome*>(self)->onFullscreenChanged(); });
          }),
          this);
  gtk_event_controller_set_propagation_phase(pointer, GTK_PHASE_CAPTURE);
  connect(pointer, "motion",
          G_CALLBACK(+[](GtkEventControllerMotion*, double, double, gpointer self) {
            guarded([&] { static_cast<WindowChrome*>(self)->onPointerMoved(); });
          }),
          this);
  gtk_widget_add_controller(GTK_WIDGET(window), pointer);
}

void WindowChrome::onFullscreenChanged() {
  showBar();
  if (gtk_window_is_fullscreen(window) != FALSE) {
    showBanner("按 F11 退出全屏");
    onPointerMoved();  // the bar rests from now on
  }
}

void WindowChrome::onPointerMoved() {
  lastPointerMotion = std::chrono::steady_clock::now();
  showBar();
  if (!fadeScheduled && gtk_window_is_fullscreen(window) != FALSE) {
    fadeScheduled = true;
    timers.runAfter(std::chrono::duration_cast<std::chrono::milliseconds>(barRestingTime),
                    [this] { fadeBarWhenIdle(); });
  }
}

// One pending check at a time, however often the pointer moves: a check that comes too early
// waits for the rest of the resting time.
void WindowChrome::fadeBarWhenIdle() {
  fadeScheduled = false;
  if (bar == nullptr || gtk_window_is_fullscreen(window) == FALSE) {
    return;
  }
  const auto rested = std::chrono::steady_clock::now() - lastPointerMotion;
  if (rested < barRestingTime) {
    fadeScheduled = true;
    timers.runAfter(std::chrono::ceil<std::chrono::milliseconds>(barRestingTime - rested),
                    [this] { fadeBarWhenIdle(); });
    return;
  }
  gtk_widget_add_css_class(bar, "faded");
  gtk_widget_set_can_target(bar, FALSE);
}

void WindowChrome::showBar() {
  if (bar != nullptr) {
    gtk_widget_remove_css_class(bar, "faded");
    gtk_widget_set_can_target(bar, TRUE);
  }
}

}  // namespace quillfern::gtk
