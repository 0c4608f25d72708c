// Round-trip latency: one link to an echo server; one small message at a time, timed from the
// write until its whole payload is back.

#include "load/RunSupport.hpp"
#include "load/Runs.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace quillfern::bench {

namespace {

constexpr std::size_t receiveBufferSize = 4096;

double percentile(std::vector<double> sorted, double fraction) {
  if (sorted.empty()) {
    return 0.0;
  }
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[rank];
}

class LatencyRun {
public:
  LatencyRun(asio::io_context& runContext, const LatencyOptions& runOptions)
      : context(runContext), options(runOptions), deadline(runContext) {}

  void start() {
    started = Clock::now();
    link = Link::create(context.get_executor(), options.route);
    link->open([this](const boost::system::error_code& ec) { onOpened(ec); });
    deadline.expires_after(toDuration(options.maxSeconds));
    deadline.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        context.stop();
      }
    });
  }

  [[nodiscard]] int report() const {
    double mean = 0.0;
    for (const double sample : samples) {
      mean += sample / static_cast<double>(samples.size());
    }
    std::printf(
        "result mode=latency size=%zu samples=%zu p50_us=%.1f p99_us=%.1f mean_us=%.1f "
        "max_us=%.1f elapsed=%.3f error=%s\n",
        options.messageSize, samples.size(), percentile(samples, 0.50), percentile(samples, 0.99),
        mean, samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end()),
        secondsBetween(started, Clock::now()), errorWord(firstError).c_str());
    return samples.empty() || firstError ? 1 : 0;
  }

private:
  asio::io_context& context;
  const LatencyOptions options;
  std::vector<std::uint8_t> message;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(receiveBufferSize);
  std::vector<double> samples;
  std::shared_ptr<Link> link;
  asio::steady_timer deadline;
  boost::system::error_code firstError;
  std::size_t roundTrips = 0;
  std::size_t payloadBack = 0;
  Clock::time_point started;
  Clock::time_point sent;

  void onOpened(const boost::system::error_code& ec) {
    if (ec) {
      finish(ec);
      return;
    }
    const std::vector<std::uint8_t> payload(options.messageSize, 0x42);
    message = link->wireMessage(payload);
    if (!link->takeLeftover().empty()) {  // nothing may arrive before the first message
      finish(make_error_code(boost::system::errc::protocol_error));
      return;
    }
    sendOne();
  }

  void sendOne() {
    payloadBack = 0;
    sent = Clock::now();
    asio::async_write(link->socket(), asio::buffer(message),
                      [this](const boost::system::error_code& ec, std::size_t /*count*/) {
                        if (ec) {
                          finish(ec);
                          return;
                        }
                        receiveEcho();
                      });
  }

  void receiveEcho() {
    link->socket().async_read_some(asio::buffer(buffer),
                                   [this](const boost::system::error_code& ec, std::size_t count) {
                                     if (ec) {
                                       finish(ec);
                                       return;
                                     }
                                     onEchoBytes(count);
                                   });
  }

  void onEchoBytes(std::size_t count) {
    const auto progress = link->received(std::span<const std::uint8_t>(buffer.data(), count));
    if (progress.closeReceived || progress.invalid) {
      finish(make_error_code(boost::system::errc::connection_aborted));
      return;
    }
    payloadBack += progress.payloadBytes;
    if (payloadBack < options.messageSize) {
      receiveEcho();
      return;
    }
    const Clock::time_point now = Clock::now();
    if (++roundTrips > options.warmup) {
      samples.push_back(std::chrono::duration<double, std::micro>(now - sent).count());
    }
    if (samples.size() >= options.count) {
      finish({});
      return;
    }
    sendOne();
  }

  void finish(const boost::system::error_code& ec) {
    firstError = ec;
    context.stop();
  }
};

}  // namespace

int runLatency(asio::io_context& context, const LatencyOptions& options) {
  return runToEnd<LatencyRun>(context, options);
}

}  // namespace quillfern::bench
