// The load generator's command line: "serve" runs the local TCP servers; every other command is
// one client run against a port on 127.0.0.1 (plain TCP, or a WebSocket with --path).

#include "load/LocalServers.hpp"
#include "load/RunSupport.hpp"
#include "load/Runs.hpp"

#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillfern::bench {

namespace {

constexpr std::string_view usage =
    "Usage: quillfern_loadgen COMMAND [--key value ...]\n"
    "  serve   [--seconds S]              sink, source and echo servers on 127.0.0.1;\n"
    "                                     prints \"sink=P source=P echo=P\", serves until a\n"
    "                                     signal or S seconds (default 7200)\n"
    "  up|down --port P [--path /H/P] [--connections N] [--seconds S] [--warmup W]\n"
    "  latency --port P [--path /H/P] [--count K] [--warmup K0] [--size B] [--seconds MAX]\n"
    "  idle    --port P [--path /H/P] --sessions M [--parallel C] [--setup S] [--hold S]\n"
    "  slow    --port P [--path /H/P] [--rate BYTES_PER_S] [--seconds S]\n"
    "Without --path the port is spoken to as plain TCP; with it, as a WebSocket upgraded on\n"
    "that path with Origin http://127.0.0.1:9882.\n";

using Arguments = std::map<std::string, std::string, std::less<>>;

std::optional<Arguments> parseArguments(const std::vector<std::string_view>& words) {
  Arguments arguments;
  for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
    if (words[i].substr(0, 2) != "--") {
      return std::nullopt;
    }
    arguments.emplace(words[i].substr(2), words[i + 1]);
  }
  if (words.size() % 2 != 0) {
    return std::nullopt;
  }
  return arguments;
}

double number(const Arguments& arguments, std::string_view key, double fallback) {
  const auto found = arguments.find(key);
  if (found == arguments.end()) {
    return fallback;
  }
  double value = fallback;
  const auto& text = found->second;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::size_t count(const Arguments& arguments, std::string_view key, std::size_t fallback) {
  return static_cast<std::size_t>(number(arguments, key, static_cast<double>(fallback)));
}

Route routeFrom(const Arguments& arguments) {
  Route route;
  route.port = static_cast<std::uint16_t>(count(arguments, "port", 0));
  if (const auto path = arguments.find("path"); path != arguments.end()) {
    route.path = path->second;
  }
  return route;
}

int serve(asio::io_context& context, double seconds) {
  LocalServers servers(context);
  std::printf("sink=%u source=%u echo=%u\n", servers.sinkPort(), servers.sourcePort(),
              servers.echoPort());
  std::fflush(stdout);
  asio::steady_timer bound(context, toDuration(seconds));
  bound.async_wait([&context](const boost::system::error_code& /*ec*/) { context.stop(); });
  std::thread helper([&context] { context.run(); });
  context.run();
  helper.join();
  return 0;
}

int dispatch(std::string_view command, const Arguments& arguments, asio::io_context& context) {
  if (command == "serve") {
    return serve(context, number(arguments, "seconds", 7200));
  }
  const Route route = routeFrom(arguments);
  if (command == "up" || command == "down") {
    return runThroughput(context, {.route = route,
                                   .upstream = command == "up",
                                   .connections = count(arguments, "connections", 1),
                                   .warmupSeconds = number(arguments, "warmup", 1.0),
                                   .seconds = number(arguments, "seconds", 5.0)});
  }
  if (command == "latency") {
    return runLatency(context, {.route = route,
                                .messageSize = count(arguments, "size", 32),
                                .warmup = count(arguments, "warmup", 500),
                                .count = count(arguments, "count", 20000),
                                .maxSeconds = number(arguments, "seconds", 20.0)});
  }
  if (command == "idle") {
    return runIdle(context, {.route = route,
                             .sessions = count(arguments, "sessions", 1000),
                             .parallel = count(arguments, "parallel", 128),
                             .setupSeconds = number(arguments, "setup", 300.0),
                             .holdSeconds = number(arguments, "hold", 120.0)});
  }
  if (command == "slow") {
    return runSlowReader(context, {.route = route,
                                   .bytesPerSecond = number(arguments, "rate", 1e6),
                                   .seconds = number(arguments, "seconds", 20.0)});
  }
  std::fputs(usage.data(), stderr);
  return 2;
}

}  // namespace

}  // namespace quillfern::bench

int main(int argc, char** argv) {
  namespace bench = quillfern::bench;
  if (argc < 2) {
    std::fputs(bench::usage.data(), stderr);
    return 2;
  }
  const std::vector<std::string_view> words(argv + 2, argv + argc);
  const auto arguments = bench::parseArguments(words);
  if (!arguments) {
    std::fputs(bench::usage.data(), stderr);
    return 2;
  }
  bench::asio::io_context context;
  // A signal ends the run early; the run still prints what it has measured.
  bench::asio::signal_set signals(context, SIGINT, SIGTERM);
  signals.async_wait([&context](const boost::system::error_code& ec, int /*signal*/) {
    if (!ec) {
      context.stop();
    }
  });
  return bench::dispatch(argv[1], *arguments, context);
}
