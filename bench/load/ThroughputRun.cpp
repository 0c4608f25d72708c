// Throughput: every link sends (or receives) as fast as the path takes it; the payload that
// passes during a window after the warm-up gives MB/s (10^6 bytes per second).

#include "load/RunSupport.hpp"
#include "load/Runs.hpp"

#include <cstdio>
#include <memory>
#include <vector>

namespace quillfern::bench {

namespace {

constexpr std::size_t receiveBufferSize = 262144;

class ThroughputRun {
public:
  ThroughputRun(asio::io_context& runContext, const ThroughputOptions& runOptions)
      : context(runContext), options(runOptions), phase(runContext) {}

  void start() {
    started = Clock::now();
    for (std::size_t i = 0; i < options.connections; ++i) {
      auto link = Link::create(context.get_executor(), options.route);
      links.push_back(link);
      link->open([this, i](const boost::system::error_code& ec) { onOpened(i, ec); });
    }
  }

  [[nodiscard]] int report() const {
    const double window = secondsBetween(windowStart, windowEnd);
    const double rate =
        window > 0 ? static_cast<double>(windowEndBytes - windowStartBytes) / window : 0.0;
    std::printf(
        "result mode=%s connections=%zu window=%.3f mbps=%.1f bytes=%llu elapsed=%.3f "
        "failed=%zu error=%s\n",
        options.upstream ? "up" : "down", options.connections, window, rate / 1e6,
        static_cast<unsigned long long>(bytes), secondsBetween(started, Clock::now()), failed,
        errorWord(firstError).c_str());
    return failed == 0 && window > 0 ? 0 : 1;
  }

private:
  asio::io_context& context;
  const ThroughputOptions options;
  std::vector<std::uint8_t> message;  // one message as the links write it
  std::vector<std::vector<std::uint8_t>> buffers;
  std::vector<std::shared_ptr<Link>> links;
  asio::steady_timer phase;
  std::size_t settled = 0;
  std::size_t failed = 0;
  boost::system::error_code firstError;
  bool measuring = false;
  std::uint64_t bytes = 0;
  std::uint64_t windowStartBytes = 0;
  std::uint64_t windowEndBytes = 0;
  Clock::time_point started;
  Clock::time_point windowStart;
  Clock::time_point windowEnd;

  void onOpened(std::size_t index, const boost::system::error_code& ec) {
    if (ec) {
      noteFailure(ec);
      boost::system::error_code ignored;
      links[index]->socket().close(ignored);
    }
    if (++settled < options.connections) {
      return;
    }
    if (failed == options.connections) {
      context.stop();
      return;
    }
    beginTraffic();
  }

  void beginTraffic() {
    const std::vector<std::uint8_t> payload(options.messageSize, 0xA5);
    message = links.front()->wireMessage(payload);
    buffers.assign(links.size(), std::vector<std::uint8_t>(receiveBufferSize));
    for (std::size_t i = 0; i < links.size(); ++i) {
      if (!links[i]->socket().is_open()) {
        continue;
      }
      if (options.upstream) {
        sendNext(i);
      } else {
        feed(i, links[i]->takeLeftover());
        receiveNext(i);
      }
    }
    phase.expires_after(toDuration(options.warmupSeconds));
    phase.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        onWarmedUp();
      }
    });
  }

  void onWarmedUp() {
    windowStart = Clock::now();
    windowStartBytes = bytes;
    measuring = true;
    phase.expires_after(toDuration(options.seconds));
    phase.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        onWindowEnded();
      }
    });
  }

  void onWindowEnded() {
    windowEnd = Clock::now();
    windowEndBytes = bytes;
    measuring = false;
    context.stop();
  }

  void sendNext(std::size_t index) {
    asio::async_write(links[index]->socket(), asio::buffer(message),
                      [this, index](const boost::system::error_code& ec, std::size_t /*count*/) {
                        if (ec) {
                          noteFailure(ec);
                          return;
                        }
                        bytes += options.messageSize;
                        sendNext(index);
                      });
  }

  void receiveNext(std::size_t index) {
    links[index]->socket().async_read_some(
        asio::buffer(buffers[index]),
        [this, index](const boost::system::error_code& ec, std::size_t count) {
          feed(index, std::span<const std::uint8_t>(buffers[index].data(), count));
          if (ec) {
            noteFailure(ec);
            return;
          }
          receiveNext(index);
        });
  }

  void feed(std::size_t index, std::span<const std::uint8_t> received) {
    const auto progress = links[index]->received(received);
    bytes += progress.payloadBytes;
    if (progress.closeReceived || progress.invalid) {
      noteFailure(make_error_code(boost::system::errc::connection_aborted));
    }
  }

  void noteFailure(const boost::system::error_code& ec) {
    if (!firstError) {
      firstError = ec;
    }
    ++failed;
    // A link lost during the window would make the figure a mix of N and N-1 links.
    if (measuring) {
      onWindowEnded();
    }
  }
};

}  // namespace

int runThroughput(asio::io_context& context, const ThroughputOptions& options) {
  return runToEnd<ThroughputRun>(context, options);
}

}  // namespace quillfern::bench
