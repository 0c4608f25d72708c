// The window's size and state as the player left it, kept in the settings under keys of our own
// so that the next start opens the window the same way. A plain value.
#pragma once

#include <boost/system/error_code.hpp>

namespace quillfern {

class DefaultsStore;

struct WindowState {
  static constexpr int minimumWidth = 640;
  static constexpr int minimumHeight = 360;

  // The size of the window when it is neither maximized nor full screen, in pixels.
  int width = 1280;
  int height = 720;
  bool maximized = false;
  bool fullscreen = false;

  // What the settings hold. A value that is missing, of another kind or out of range is
  // ignored and its default kept; width and height are taken only as a pair.
  [[nodiscard]] static WindowState load(const DefaultsStore& store);
  [[nodiscard]] boost::system::error_code save(DefaultsStore& store) const;

  bool operator==(const WindowState&) const = default;
};

}  // namespace quillfern
