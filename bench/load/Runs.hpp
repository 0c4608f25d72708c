// The load generator's client runs. Each one drives its links on the single thread that runs
// context, ends by itself within its time bound (or when context is stopped from outside, by a
// signal), prints one "result ..." line of key=value pairs on standard output and returns the
// process exit status.
#pragma once

#include "load/Asio.hpp"
#include "load/Link.hpp"

#include <cstddef>

namespace quillfern::bench {

struct ThroughputOptions {
  Route route;
  bool upstream = true;  // client to server; false: server to client
  std::size_t connections = 1;
  double warmupSeconds = 1.0;  // traffic before the measured window
  double seconds = 5.0;        // the measured window
  std::size_t messageSize = 65536;
};

struct LatencyOptions {
  Route route;
  std::size_t messageSize = 32;
  std::size_t warmup = 500;   // round trips made before any is recorded
  std::size_t count = 20000;  // round trips recorded, at most
  double maxSeconds = 20.0;
};

struct IdleOptions {
  Route route;  // an echo server: every session makes one round trip
  std::size_t sessions = 1000;
  std::size_t parallel = 128;   // sessions being opened at the same time
  double setupSeconds = 300.0;  // bound on opening them all
  double holdSeconds = 120.0;   // how long they are then held open, at most
};

struct SlowReaderOptions {
  Route route;                  // a source server
  double bytesPerSecond = 1e6;  // wire bytes read per second
  double seconds = 20.0;
};

[[nodiscard]] int runThroughput(asio::io_context& context, const ThroughputOptions& options);
[[nodiscard]] int runLatency(asio::io_context& context, const LatencyOptions& options);
// Prints "ready ..." once every session is upgraded and has made its round trip, then holds them.
[[nodiscard]] int runIdle(asio::io_context& context, const IdleOptions& options);
[[nodiscard]] int runSlowReader(asio::io_context& context, const SlowReaderOptions& options);

}  // namespace quillfern::bench
