// Slow reader: one link to a source server that writes as fast as it can, read at a fixed rate
// of wire bytes per second, so that the path between them has to hold back or buffer.

#include "load/RunSupport.hpp"
#include "load/Runs.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace quillfern::bench {

namespace {

constexpr std::size_t receiveBufferSize = 65536;
constexpr std::chrono::milliseconds tickInterval{10};
constexpr double burstSeconds = 0.05;  // allowance saved up while a read is outstanding, at most

class SlowReaderRun {
public:
  SlowReaderRun(asio::io_context& runContext, const SlowReaderOptions& runOptions)
      : context(runContext), options(runOptions), ticker(runContext) {}

  void start() {
    started = Clock::now();
    lastTick = started;
    link = Link::create(context.get_executor(), options.route);
    link->open([this](const boost::system::error_code& ec) { onOpened(ec); });
  }

  [[nodiscard]] int report() const {
    const double elapsed = secondsBetween(started, lastTick);
    std::printf(
        "result mode=slow seconds=%.3f wire_bytes=%llu payload_bytes=%llu rate=%.0f "
        "error=%s\n",
        elapsed, static_cast<unsigned long long>(wireBytes),
        static_cast<unsigned long long>(payloadBytes),
        elapsed > 0 ? static_cast<double>(wireBytes) / elapsed : 0.0,
        errorWord(firstError).c_str());
    return firstError ? 1 : 0;
  }

private:
  asio::io_context& context;
  const SlowReaderOptions options;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(receiveBufferSize);
  std::shared_ptr<Link> link;
  asio::steady_timer ticker;
  boost::system::error_code firstError;
  double allowance = 0.0;
  bool reading = false;
  std::uint64_t wireBytes = 0;
  std::uint64_t payloadBytes = 0;
  Clock::time_point started;
  Clock::time_point lastTick;

  void onOpened(const boost::system::error_code& ec) {
    if (ec) {
      finish(ec);
      return;
    }
    started = Clock::now();
    lastTick = started;
    const auto early = link->takeLeftover();
    payloadBytes += link->received(early).payloadBytes;
    tick();
  }

  void tick() {
    ticker.expires_after(tickInterval);
    ticker.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        onTick();
      }
    });
  }

  void onTick() {
    const Clock::time_point now = Clock::now();
    allowance = std::min(allowance + options.bytesPerSecond * secondsBetween(lastTick, now),
                         options.bytesPerSecond * burstSeconds);
    lastTick = now;
    if (secondsBetween(started, now) >= options.seconds) {
      finish({});
      return;
    }
    readSome();
    tick();
  }

  void readSome() {
    const auto size = std::min(static_cast<std::size_t>(allowance), buffer.size());
    if (reading || size == 0) {
      return;
    }
    reading = true;
    link->socket().async_read_some(
        asio::buffer(buffer.data(), size),
        [this](const boost::system::error_code& ec, std::size_t count) { onRead(ec, count); });
  }

  void onRead(const boost::system::error_code& ec, std::size_t count) {
    reading = false;
    if (ec) {
      finish(ec);
      return;
    }
    allowance -= static_cast<double>(count);
    wireBytes += count;
    const auto progress = link->received(std::span<const std::uint8_t>(buffer.data(), count));
    payloadBytes += progress.payloadBytes;
    if (progress.closeReceived || progress.invalid) {
      finish(make_error_code(boost::system::errc::connection_aborted));
      return;
    }
    readSome();
  }

  void finish(const boost::system::error_code& ec) {
    firstError = ec;
    context.stop();
  }
};

}  // namespace

int runSlowReader(asio::io_context& context, const SlowReaderOptions& options) {
  return runToEnd<SlowReaderRun>(context, options);
}

}  // namespace quillfern::bench
