#include "app/WindowState.hpp"

#include "platform/DefaultsStore.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillfern {

namespace {

constexpr std::string_view widthKey = "quillfern.window.width";
constexpr std::string_view heightKey = "quillfern.window.height";
constexpr std::string_view maximizedKey = "quillfern.window.maximized";
constexpr std::string_view fullscreenKey = "quillfern.window.fullscreen";

// Larger than any screen, and within what X11 and Wayland accept for a window.
constexpr std::int64_t largestSide = 16384;

std::optional<int> side(const DefaultsStore& store, std::string_view key, int smallest) {
  const auto value = store.scalar(key);
  const auto* number = value ? std::get_if<std::int64_t>(&*value) : nullptr;
  if (number == nullptr || *number < smallest || *number > largestSide) {
    return std::nullopt;
  }
  return static_cast<int>(*number);
}

bool flag(const DefaultsStore& store, std::string_view key) {
  const auto value = store.scalar(key);
  const auto* set = value ? std::get_if<bool>(&*value) : nullptr;
  return set != nullptr && *set;
}

}  // namespace

WindowState WindowState::load(const DefaultsStore& store) {
  WindowState state;
  const auto width = side(store, widthKey, minimumWidth);
  const auto height = side(store, heightKey, minimumHeight);
  if (width && height) {
    state.width = *width;
    state.height = *height;
  }
  state.maximized = flag(store, maximizedKey);
  state.fullscreen = flag(store, fullscreenKey);
  return state;
}

boost::system::error_code WindowState::save(DefaultsStore& store) const {
  return store.setScalars({{std::string(widthKey), std::int64_t{width}},
                           {std::string(heightKey), std::int64_t{height}},
                           {std::string(maximizedKey), maximized},
                           {std::string(fullscreenKey), fullscreen}});
}

}  // namespace quillfern
