// The command line: picks the mode and hands over to it.

#include "app/HeadlessRun.hpp"
#include "app/LoopbackProxyExemption.hpp"

#if QUILLFERN_HAVE_WINDOW
#include "app/gtk/AppDelegate.hpp"
#endif

#include <array>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::string_view usage =
    "Usage: quillfern [--headless | --help | --version]\n"
    "\n"
    "Plays the game in its own window. The loopback bridge on 127.0.0.1:9882 lets the\n"
    "game page reach the game servers.\n"
    "\n"
    "  --headless   run only the bridge, for a local browser; stop with Ctrl+C\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n";

// The game window, where there is a display to show it on.
int runWindow(const char* programName) {
#if QUILLFERN_HAVE_WINDOW
  // Before GTK starts any thread; the web view's network process inherits the environment.
  quillfern::exemptLoopbackFromProxies();
  if (quillfern::gtk::AppDelegate::canOpenDisplay()) {
    quillfern::gtk::AppDelegate app;
    return app.run(programName, std::cerr);
  }
  std::cerr << "quillfern: no display to open the window on (DISPLAY and WAYLAND_DISPLAY name "
               "none that answers).\nRun 'quillfern --headless' to serve the bridge alone for a "
               "local browser.\n";
#else
  static_cast<void>(programName);
  std::cerr << "quillfern: this build has no window.\nRun 'quillfern --headless' to serve the "
               "bridge alone for a local browser.\n";
#endif
  return 1;
}

// The bridge alone. quillfern-bridge, installed beside this program, serves it without the window
// libraries that this executable loads at start; exec keeps the process, its PID, signals and
// exit status, so callers see no difference. A build or install without it (or one that cannot
// run it) serves the bridge in this process, the same way.
int runBridgeAlone() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::string bridge = (self.parent_path() / "quillfern-bridge").string();
    std::string name = "quillfern-bridge";
    const std::array<char*, 2> arguments{name.data(), nullptr};
    ::execv(bridge.c_str(), arguments.data());
    const std::error_code execError(errno, std::system_category());
    if (execError != std::errc::no_such_file_or_directory) {
      std::cerr << "quillfern: cannot run " << bridge << " (" << execError.message()
                << "); serving the bridge in this process\n";
    }
  }
  return quillfern::runHeadless({}, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? std::string_view(argv[1]) : std::string_view();
  if (argc > 2) {
    std::cerr << "quillfern: too many arguments\n" << usage;
    return 2;
  }
  if (mode == "--help" || mode == "-h") {
    std::cout << usage;
    return 0;
  }
  if (mode == "--version") {
    std::cout << "quillfern " QUILLFERN_VERSION "\n";
    return 0;
  }
  if (mode == "--headless") {
    return runBridgeAlone();
  }
  if (mode.empty()) {
    return runWindow(argv[0]);
  }
  std::cerr << "quillfern: unknown option '" << mode << "'\n" << usage;
  return 2;
}
