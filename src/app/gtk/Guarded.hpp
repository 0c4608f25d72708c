// Runs code called from GTK so that no exception can unwind through C frames: whatever escapes
// is logged and dropped.
#pragma once

#include "log/Log.hpp"

#include <exception>

namespace quillfern::gtk {

template <class Fn>
void guarded(Fn&& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    log(LogTag::app, e.what());  // a bug got through; the window carries on
  } catch (...) {
    log(LogTag::app, "unknown exception in a GTK callback");
  }
}

}  // namespace quillfern::gtk
