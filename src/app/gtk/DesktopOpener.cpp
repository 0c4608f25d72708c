#include "app/gtk/DesktopOpener.hpp"

#include <gtk/gtk.h>

namespace quillfern::gtk {

DesktopOpener::DesktopOpener() : cancellable(g_cancellable_new()) {}

DesktopOpener::~DesktopOpener() {
  g_cancellable_cancel(cancellable);
  g_object_unref(cancellable);
}

void DesktopOpener::open(const std::string& url) {
  // The display's launch context lets the desktop show that something is starting.
  GdkDisplay* display = gdk_display_get_default();
  GAppLaunchContext* context =
      display ? G_APP_LAUNCH_CONTEXT(gdk_display_get_app_launch_context(display)) : nullptr;
  g_app_info_launch_default_for_uri_async(url.c_str(), context, cancellable, onLaunched, nullptr);
  if (context) {
    g_object_unref(context);
  }
}

// Whether the desktop could open the address is not followed up: the web view stays on its
// page either way.
void DesktopOpener::onLaunched(GObject* /*source*/, GAsyncResult* result, gpointer /*data*/) {
  GError* error = nullptr;
  g_app_info_launch_default_for_uri_finish(result, &error);
  g_clear_error(&error);
}

}  // namespace quillfern::gtk
