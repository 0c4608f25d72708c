// The scripts the controller runs in the game page. Pure text, no state.
#pragma once

#include <string>
#include <string_view>

namespace quillfern {

// Widens the page to at least minimumWidth CSS pixels through its viewport meta element (made
// when missing) and evaluates to the width it chose.
[[nodiscard]] std::string viewportScript(int minimumWidth);

// Calls the page's own full-screen toggle, or leaves its custom full screen; evaluates to true
// when the page had either, false otherwise.
[[nodiscard]] std::string_view fullscreenToggleScript();

}  // namespace quillfern
