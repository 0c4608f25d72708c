// The GTK application: runs the main loop and, on activation, has the SceneDelegate bring up
// the window. Created by main on the main thread. This header is free of GTK types, so the
// command line can include it.
#pragma once

#include <memory>
#include <ostream>

namespace quillfern::gtk {

// The desktop's name for the application: its bus name, desktop entry and icon.
inline constexpr const char* applicationId = "com.quillfern.Quillfern";

class SceneDelegate;

class AppDelegate {
public:
  AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;
  AppDelegate(AppDelegate&&) = delete;
  AppDelegate& operator=(AppDelegate&&) = delete;
  ~AppDelegate();

  // Whether a display can be opened; GTK is initialised on it when it can.
  [[nodiscard]] static bool canOpenDisplay();

  // Runs until the window is closed, or SIGINT or SIGTERM closes it; returns the exit status.
  // A start that opens no window because another copy holds the bridge's port says so in one
  // line on errors and returns 1.
  [[nodiscard]] int run(const char* programName, std::ostream& errors);

private:
  std::unique_ptr<SceneDelegate> scene;
};

}  // namespace quillfern::gtk
