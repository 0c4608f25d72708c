#include "app/gtk/SceneDelegate.hpp"

#include "app/LoopbackBridgeAdapter.hpp"
#include "app/WebViewController.hpp"
#include "app/gtk/AppDelegate.hpp"
#include "app/gtk/DesktopOpener.hpp"
#include "app/gtk/GLibMainLoop.hpp"
#include "app/gtk/GObjectPtr.hpp"
#include "app/gtk/Guarded.hpp"
#include "app/gtk/WindowChrome.hpp"
#include "platform/CurlHttpClient.hpp"
#include "platform/JsonFileStore.hpp"
#include "policy/BridgeConfig.hpp"

namespace quillfern::gtk {

namespace {

constexpr const char* controllerKey = "quillfern-controller";

std::shared_ptr<WebViewController> makeController(GtkWindow* window) {
  // One store for the allowlist's cache and the window's state: it serialises their writes.
  return std::make_shared<WebViewController>(WebViewController::Services{
      .defaults = std::make_shared<JsonFileStore>(JsonFileStore::defaultPath()),
      .http = std::make_shared<CurlHttpClient>(),
      .makeBridge = makeLoopbackBridge,
      .mainLoop = std::make_shared<GLibMainLoop>(),
      .chrome = std::make_shared<WindowChrome>(window),
      .opener = std::make_shared<DesktopOpener>(),
  });
}

// Whether something listens on the bridge's port: binding it as the bridge does then fails.
bool bridgePortHeld() {
  const auto socket = adopt(
      g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr));
  if (!socket) {
    return false;
  }
  const auto loopback = adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
  const auto address = adopt(g_inet_socket_address_new(loopback.get(), BridgeConfig::bridgePort));
  GError* error = nullptr;
  g_socket_bind(socket.get(), address.get(), TRUE, &error);
  const bool held = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE) != FALSE;
  g_clear_error(&error);
  return held;
}

}  // namespace

SceneDelegate::~SceneDelegate() {
  releaseWindow();
}

void SceneDelegate::sceneWillConnect(GtkApplication* application) {
  if (window) {
    gtk_window_present(window);
    return;
  }
  // With a session bus, a second start hands over to the first copy and never gets here.
  if (g_application_get_dbus_connection(G_APPLICATION(application)) == nullptr
      && bridgePortHeld()) {
    refused = true;
    return;  // with no window the application ends
  }
  // Names the window's icon on X11 too, where the desktop entry does not reach the window.
  gtk_window_set_default_icon_name(applicationId);
  window = GTK_WINDOW(g_object_ref(gtk_application_window_new(application)));
  gtk_window_set_title(window, "Quillfern");
  closeHandler = g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);

  // The window owns its controller, as a root view controller is owned by its window.
  auto controller = makeController(window);
  g_object_set_data_full(
      G_OBJECT(window), controllerKey, new std::shared_ptr<WebViewController>(controller),
      +[](gpointer data) { delete static_cast<std::shared_ptr<WebViewController>*>(data); });
  controller->viewDidLoad();
  gtk_window_present(window);
}

void SceneDelegate::disconnect() {
  if (window) {
    gtk_window_close(window);
  }
}

gboolean SceneDelegate::onCloseRequest(GtkWindow* closing, gpointer self) {
  guarded([&] {
    if (auto* controller = static_cast<std::shared_ptr<WebViewController>*>(
            g_object_get_data(G_OBJECT(closing), controllerKey))) {
      (*controller)->windowWillClose();
    }
    static_cast<SceneDelegate*>(self)->releaseWindow();
  });
  return FALSE;  // let it close
}

// The controller goes while the window and its widgets still exist: it stops the bridge and
// takes its adapters apart.
void SceneDelegate::releaseWindow() {
  if (!window) {
    return;
  }
  g_object_set_data(G_OBJECT(window), controllerKey, nullptr);
  g_signal_handler_disconnect(window, closeHandler);
  g_object_unref(window);
  window = nullptr;
}

}  // namespace quillfern::gtk
