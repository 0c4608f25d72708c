#include "app/gtk/AppDelegate.hpp"

#include "app/gtk/GObjectPtr.hpp"
#include "app/gtk/Guarded.hpp"
#include "app/gtk/SceneDelegate.hpp"
#include "policy/BridgeConfig.hpp"

#include <gtk/gtk.h>

#include <array>
#include <csignal>
#include <glib-unix.h>

namespace quillfern::gtk {

namespace {

gboolean onStopSignal(gpointer scene) {
  guarded([&] { static_cast<SceneDelegate*>(scene)->disconnect(); });
  return G_SOURCE_CONTINUE;
}

}  // namespace

AppDelegate::AppDelegate() : scene(std::make_unique<SceneDelegate>()) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::canOpenDisplay() {
  return gtk_init_check() != FALSE;
}

int AppDelegate::run(const char* programName, std::ostream& errors) {
  const auto application = adopt(gtk_application_new(applicationId, G_APPLICATION_DEFAULT_FLAGS));
  g_signal_connect(application.get(), "activate",
                   G_CALLBACK(+[](GtkApplication* app, gpointer data) {
                     guarded([&] { static_cast<SceneDelegate*>(data)->sceneWillConnect(app); });
                   }),
                   scene.get());
  // Ctrl+Q, and a stop signal, close the window the normal way, so the bridge is stopped
  // before exit.
  const auto quit = adopt(g_simple_action_new("quit", nullptr));
  g_signal_connect(quit.get(), "activate",
                   G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
                     guarded([&] { static_cast<SceneDelegate*>(data)->disconnect(); });
                   }),
                   scene.get());
  g_action_map_add_action(G_ACTION_MAP(application.get()), G_ACTION(quit.get()));
  const guint interrupt = g_unix_signal_add(SIGINT, onStopSignal, scene.get());
  const guint terminate = g_unix_signal_add(SIGTERM, onStopSignal, scene.get());

  // Options are the command line's business; GTK sees only the program name.
  std::array<char*, 2> arguments{const_cast<char*>(programName), nullptr};
  const int status = g_application_run(G_APPLICATION(application.get()), 1, arguments.data());

  g_source_remove(interrupt);
  g_source_remove(terminate);
  const bool refused = scene->refusedSecondCopy();
  scene.reset();  // a window still open (the loop ended some other way) goes with its controller
  if (refused) {
    errors << "quillfern: 127.0.0.1:" << BridgeConfig::bridgePort
           << " is in use, most likely by another running quillfern (its window or quillfern "
              "--headless); not opening a second window.\n";
    return 1;
  }
  return status;
}

}  // namespace quillfern::gtk
