// Small helpers shared by the client runs: clock conversions, the text of result lines, and
// running a run to its end.
#pragma once

#include "load/Asio.hpp"

#include <boost/system/error_code.hpp>

#include <algorithm>
#include <chrono>
#include <string>

namespace quillfern::bench {

using Clock = std::chrono::steady_clock;

[[nodiscard]] inline Clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

[[nodiscard]] inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// An error's text as one word, so that a result line stays a list of key=value pairs.
[[nodiscard]] inline std::string errorWord(const boost::system::error_code& ec) {
  std::string text = ec ? ec.message() : "none";
  std::replace(text.begin(), text.end(), ' ', '_');
  return text;
}

// Starts a run, runs context on this thread until the run (or a signal) stops it, and returns
// the run's report.
template <class Run, class Options>
[[nodiscard]] int runToEnd(asio::io_context& context, const Options& options) {
  Run run(context, options);
  run.start();
  context.run();
  return run.report();
}

}  // namespace quillfern::bench
