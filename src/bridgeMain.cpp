// quillfern-bridge: the loopback bridge alone, as the user service runs it. It is built on the core
// library only, so it loads no window libraries and a machine without a desktop can run it.

#include "app/HeadlessRun.hpp"

#include <iostream>
#include <string_view>

namespace {

constexpr std::string_view usage =
    "Usage: quillfern-bridge [--help | --version]\n"
    "\n"
    "Serves the loopback bridge on 127.0.0.1:9882 for a browser on this machine, until\n"
    "SIGINT, SIGTERM or SIGHUP. Open http://127.0.0.1:9882/fallback to play.\n"
    "\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string_view option = argc > 1 ? std::string_view(argv[1]) : std::string_view();
  if (argc > 2) {
    std::cerr << "quillfern-bridge: too many arguments\n" << usage;
    return 2;
  }
  if (option == "--help" || option == "-h") {
    std::cout << usage;
    return 0;
  }
  if (option == "--version") {
    std::cout << "quillfern-bridge " QUILLFERN_VERSION "\n";
    return 0;
  }
  if (!option.empty()) {
    std::cerr << "quillfern-bridge: unknown option '" << option << "'\n" << usage;
    return 2;
  }
  return quillfern::runHeadless({}, std::cerr);
}
