// An HTTP proxy for the window smoke test that logs every request and answers each one with
// "502 Bad Gateway", as an office proxy does for a site that is down. Answers are held back until
// the next tick, so the window is seen while it waits.
//
// usage: smoke_proxy LOG_FILE TICK_MILLISECONDS LIFETIME_SECONDS
// Prints its port on the first line of standard output, then serves until the lifetime ends.
#include "support/LocalHttpServer.hpp"

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: smoke_proxy LOG_FILE TICK_MILLISECONDS LIFETIME_SECONDS\n";
    return 2;
  }
  const std::string logFile = argv[1];
  const std::chrono::milliseconds tick(std::stoi(argv[2]));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(argv[3]));
  std::mutex logLock;
  quillfern::testing::LocalHttpServer proxy([&](const auto& request) {
    {
      // One line per request, written at once, so that the test sees it while the answer waits.
      const std::scoped_lock guard(logLock);
      std::ofstream(logFile, std::ios::app) << request.method << ' ' << request.target << '\n';
    }
    return quillfern::testing::LocalHttpServer::Reply{
        .status = 502, .body = "The smoke test's proxy reaches nothing.\n", .hold = true};
  });
  std::cout << proxy.port() << std::endl;
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(tick);
    proxy.releaseHeld();
  }
  return 0;
}
