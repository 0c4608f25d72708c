// Idle sessions: opens many links to an echo server, a bounded number at a time; each one, once
// upgraded, makes one round trip of one byte (so the relay has reached the server) and then
// stays idle. When every session has settled the run prints "ready ..." and holds them open
// until the hold time ends or a signal stops the context, so that a script can measure the relay.

#include "load/RunSupport.hpp"
#include "load/Runs.hpp"

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

namespace quillfern::bench {

namespace {

class IdleRun {
public:
  IdleRun(asio::io_context& runContext, const IdleOptions& runOptions)
      : context(runContext), options(runOptions), phase(runContext) {}

  void start() {
    started = Clock::now();
    const std::array<std::uint8_t, 1> payload{'x'};
    message = Link::create(context.get_executor(), options.route)->wireMessage(payload);
    links.reserve(options.sessions);
    for (std::size_t i = 0; i < options.parallel && i < options.sessions; ++i) {
      openNext();
    }
    phase.expires_after(toDuration(options.setupSeconds));
    phase.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        announceReady();
      }
    });
  }

  [[nodiscard]] int report() const {
    std::printf(
        "result mode=idle sessions=%zu upgraded=%zu served=%zu failed=%zu dropped=%zu "
        "setup=%.3f error=%s\n",
        options.sessions, upgraded, served, failed, dropped, setupSeconds,
        errorWord(firstError).c_str());
    return served == options.sessions && dropped == 0 ? 0 : 1;
  }

private:
  // One session's progress; the link's buffer is read only for the one-byte echo.
  struct Session {
    std::shared_ptr<Link> link;
    std::array<std::uint8_t, 64> buffer{};
  };

  asio::io_context& context;
  const IdleOptions options;
  std::vector<std::uint8_t> message;
  std::vector<std::unique_ptr<Session>> links;
  asio::steady_timer phase;
  std::size_t upgraded = 0;
  std::size_t served = 0;
  std::size_t failed = 0;
  std::size_t dropped = 0;
  bool ready = false;
  double setupSeconds = 0.0;
  boost::system::error_code firstError;
  Clock::time_point started;

  void openNext() {
    if (links.size() >= options.sessions || ready) {
      return;
    }
    links.push_back(std::make_unique<Session>());
    Session& session = *links.back();
    session.link = Link::create(context.get_executor(), options.route);
    session.link->open([this, &session](const boost::system::error_code& ec) {
      if (ec) {
        settle(session, ec);
        return;
      }
      ++upgraded;
      sendProbe(session);
    });
  }

  void sendProbe(Session& session) {
    asio::async_write(session.link->socket(), asio::buffer(message),
                      [this, &session](const boost::system::error_code& ec, std::size_t) {
                        if (ec) {
                          settle(session, ec);
                          return;
                        }
                        const auto early = session.link->takeLeftover();
                        onProbeBytes(session, session.link->received(early).payloadBytes);
                      });
  }

  void onProbeBytes(Session& session, std::size_t payload) {
    if (payload > 0) {
      settle(session, {});
      return;
    }
    session.link->socket().async_read_some(
        asio::buffer(session.buffer),
        [this, &session](const boost::system::error_code& ec, std::size_t count) {
          if (ec) {
            settle(session, ec);
            return;
          }
          const auto progress =
              session.link->received(std::span<const std::uint8_t>(session.buffer.data(), count));
          if (progress.closeReceived || progress.invalid) {
            settle(session, make_error_code(boost::system::errc::connection_aborted));
            return;
          }
          onProbeBytes(session, progress.payloadBytes);
        });
  }

  void settle(Session& session, const boost::system::error_code& ec) {
    if (ec) {
      ++failed;
      if (!firstError) {
        firstError = ec;
      }
      boost::system::error_code ignored;
      session.link->socket().close(ignored);
    } else {
      ++served;
      watchForDrop(session);
    }
    if (served + failed == options.sessions) {
      announceReady();
      return;
    }
    openNext();
  }

  // Waits without a buffer; anything that wakes an idle session (data or end) counts as a drop.
  void watchForDrop(Session& session) {
    session.link->socket().async_wait(asio::socket_base::wait_read,
                                      [this](const boost::system::error_code& ec) {
                                        if (ec != asio::error::operation_aborted) {
                                          ++dropped;
                                        }
                                      });
  }

  void announceReady() {
    if (ready) {
      return;
    }
    ready = true;
    setupSeconds = secondsBetween(started, Clock::now());
    std::printf("ready sessions=%zu upgraded=%zu served=%zu failed=%zu setup=%.3f\n",
                options.sessions, upgraded, served, failed, setupSeconds);
    std::fflush(stdout);
    phase.expires_after(toDuration(options.holdSeconds));
    phase.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        context.stop();
      }
    });
  }
};

}  // namespace

int runIdle(asio::io_context& context, const IdleOptions& options) {
  return runToEnd<IdleRun>(context, options);
}

}  // namespace quillfern::bench
