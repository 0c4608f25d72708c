// Small helpers shared by the client runs: clock conversions and the text of result lines.
#pragma once

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

}  // namespace quillfern::bench
