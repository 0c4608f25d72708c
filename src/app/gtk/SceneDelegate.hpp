// Brings up the one window: black, landscape-sized, with one WebViewController as its content's
// owner. Owned by the AppDelegate; main thread only.
#pragma once

#include <gtk/gtk.h>

namespace quillfern::gtk {

class SceneDelegate {
public:
  SceneDelegate() = default;
  SceneDelegate(const SceneDelegate&) = delete;
  SceneDelegate& operator=(const SceneDelegate&) = delete;
  SceneDelegate(SceneDelegate&&) = delete;
  SceneDelegate& operator=(SceneDelegate&&) = delete;
  ~SceneDelegate();

  // Creates the window with its controller and shows it. When the window exists already (the
  // application was started again), it is brought to the front instead: there is one bridge
  // port, so there is one window. Without a session bus a second start cannot reach the first
  // copy; when the bridge's port is taken it then opens no window and refusedSecondCopy() holds.
  void sceneWillConnect(GtkApplication* application);
  [[nodiscard]] bool refusedSecondCopy() const { return refused; }

  // Closes the window; its controller goes first, which stops the bridge.
  void disconnect();

private:
  GtkWindow* window = nullptr;  // one reference of ours while the window is open
  gulong closeHandler = 0;
  bool refused = false;

  void releaseWindow();
  static gboolean onCloseRequest(GtkWindow* closing, gpointer self);
};

}  // namespace quillfern::gtk
