// The loopback kit of every socket test: the test's own event loop, and peers, listeners and an
// echo server on 127.0.0.1. Nothing sleeps: a wait runs the loop until what it waits for holds,
// within a deadline. A Loop and everything on it belong to the test's thread.
#pragma once

#include "support/WebSocketWire.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace quillfern::testing {

namespace asio = boost::asio;

inline constexpr std::chrono::seconds testDeadline{10};

class Loop {
public:
  // Runs the loop until done() holds; false when the deadline passes first. While no handler is
  // ready, done() is asked again every millisecond, so it may read another thread's state.
  template <class Predicate>
  [[nodiscard]] bool runUntil(Predicate done,
                              std::chrono::steady_clock::duration deadline = testDeadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    const auto busy = asio::make_work_guard(io);
    io.restart();
    while (!done()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= end) {
        return false;
      }
      io.run_one_until(std::min(end, now + std::chrono::milliseconds(1)));
    }
    return true;
  }
  // Runs the loop's handlers for this long: the gap between two steps of a test's script.
  void runFor(std::chrono::steady_clock::duration time) {
    (void)runUntil([] { return false; }, time);
  }
  [[nodiscard]] asio::io_context& context() { return io; }

private:
  asio::io_context io{1};
};

// One end of a TCP connection on the loop. The blocking calls run the loop until they are done,
// so everything else on the loop moves meanwhile, and throw when the deadline passes. A peer
// reads only while a call waits for bytes, or for good after keepReading().
class Peer {
public:
  explicit Peer(Loop& eventLoop);             // unconnected, for Listener::accept
  Peer(Loop& eventLoop, std::uint16_t port);  // connected to 127.0.0.1:port
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  Peer(Peer&&) = delete;
  Peer& operator=(Peer&&) = delete;
  ~Peer();  // runs the loop until no operation of the peer is pending

  void connect(std::uint16_t port);
  // Queues bytes, which must stay put until written; a failure ends the queue.
  void post(std::string_view bytes);
  void send(std::string_view bytes);  // posts and waits until everything queued is written
  void shutdownSend();
  void close();
  void reset();  // closes with SO_LINGER zero: the other side gets a reset, not an end

  [[nodiscard]] std::string read(std::size_t count);  // throws when the peer ends first
  [[nodiscard]] std::string readHead();               // up to and including CR LF CR LF
  [[nodiscard]] ws::Frame readFrame();                // one server frame
  [[nodiscard]] std::string readToEnd();              // until an end of stream or a reset
  // Reads whenever the loop runs from now on, and hands what has arrived to onBytes, which may
  // take from it.
  void keepReading(std::function<void(std::string& received)> onBytes = {});
  [[nodiscard]] bool ended() const { return endSeen; }

  // Writes copies of unit back to back, one write at a time, until a write has made no progress
  // for `stall` or limit bytes are written; returns the bytes written. Throws when the
  // connection fails.
  [[nodiscard]] std::size_t sendUntilStalled(std::string_view unit, std::size_t limit,
                                             std::chrono::milliseconds stall);

private:
  friend class Listener;
  Loop& loop;
  std::string received;  // read but not yet taken
  std::function<void(std::string&)> onReceived;
  std::deque<std::string_view> outbox;  // the front is being written
  boost::system::error_code writeError;
  bool readArmed = false;
  bool reading = false;  // keepReading() was called
  bool endSeen = false;
  std::unique_ptr<char[]> chunk = std::make_unique<char[]>(65536);
  asio::ip::tcp::socket stream;  // last: closed before the buffers above go

  void writeNext();
  void armRead();
  template <class Enough>
  void readUntil(Enough enough, const char* what);
};

// A listening socket on 127.0.0.1 and a free port, on the loop. A silent one never answers a
// connect: its backlog of 0 is filled by one connection of its own.
class Listener {
public:
  enum class Kind { accepting, silent };
  explicit Listener(Loop& eventLoop, Kind kind = Kind::accepting);

  [[nodiscard]] std::uint16_t port() const { return acceptor.local_endpoint().port(); }
  void accept(Peer& peer);  // throws when nothing connects within the deadline

private:
  Loop& loop;
  asio::ip::tcp::acceptor acceptor;
  std::optional<Peer> filler;
};

// A port on 127.0.0.1 where nothing listens, so that a connect is refused.
[[nodiscard]] std::uint16_t refusingPort();

// A game server on 127.0.0.1 and a thread of its own: it writes back every byte it reads, and
// counts what passes; the counts may be read from any thread.
class EchoServer {
public:
  // resetAfter: reset each connection once it has read that many bytes.
  explicit EchoServer(std::optional<std::uint64_t> resetAfter = std::nullopt);
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  EchoServer(EchoServer&&) = delete;
  EchoServer& operator=(EchoServer&&) = delete;
  ~EchoServer();  // stops the thread; connections still open are dropped

  [[nodiscard]] std::uint16_t port() const { return boundPort; }
  [[nodiscard]] bool allEnded() const { return ended == accepted; }
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> ended{0};  // connections the peer ended or this server reset
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> sent{0};

private:
  class Connection;
  const std::optional<std::uint64_t> resetAfter;
  asio::io_context io{1};
  asio::ip::tcp::acceptor acceptor{io};
  std::uint16_t boundPort = 0;
  std::thread thread;  // last: started once everything above exists

  void acceptNext();
};

// The allowlist key "127.0.0.1:<port>" and the bridge path "/127.0.0.1/<port>" of a local server.
[[nodiscard]] inline std::string targetKey(std::uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}
[[nodiscard]] inline std::string targetPath(std::uint16_t port) {
  return "/127.0.0.1/" + std::to_string(port);
}

}  // namespace quillfern::testing
