// The loopback kit of every socket test: the test's own event loop, and peers, listeners and an
// echo server on 127.0.0.1. Nothing sleeps: a wait runs the loop until what it waits for holds,
// within a deadline. A Loop and everything on it belong to the test's thread.
#pragma once

#include "support/WebSocketWire.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace quillfern::testing {

namespace asio = boost::asio;
using boost::system::error_code;

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
  // Starts an operation with a completion handler and runs the loop until it completes. At the
  // deadline cancel() ends it; a failure or the deadline throws.
  template <class Start, class Cancel>
  void await(const char* what, Start start, Cancel cancel) {
    bool done = false;
    error_code result;
    start([&](const error_code& error, auto&&...) {
      result = error;
      done = true;
    });
    if (!runUntil([&] { return done; })) {
      cancel();
      (void)runUntil([&] { return done; });
      throw std::runtime_error(std::string("deadline passed: ") + what);
    }
    if (result) {
      throw boost::system::system_error(result, what);
    }
  }
  [[nodiscard]] asio::io_context& context() { return io; }

private:
  asio::io_context io{1};
};

inline const asio::ip::tcp::endpoint anyLoopbackPort(asio::ip::address_v4::loopback(), 0);

// Closes with SO_LINGER zero: the other side gets a reset, not an end.
inline void resetConnection(asio::ip::tcp::socket& socket) {
  error_code ignored;
  socket.set_option(asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
}

// One end of a TCP connection on the loop. The blocking calls run the loop until they are done,
// so everything else on the loop moves meanwhile, and throw when the deadline passes. A peer
// reads only while a call waits for bytes, or for good after keepReading().
class Peer {
public:
  explicit Peer(Loop& eventLoop) : loop(eventLoop), stream(loop.context()) {}  // for accept
  Peer(Loop& eventLoop, std::uint16_t port) : Peer(eventLoop) { connect(port); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  Peer(Peer&&) = delete;
  Peer& operator=(Peer&&) = delete;
  ~Peer() {  // runs the loop until no operation of the peer is pending
    onReceived = nullptr;
    close();
    (void)loop.runUntil([&] { return !readArmed && outbox.empty(); });
  }

  void connect(std::uint16_t port) {  // to 127.0.0.1:port
    loop.await(
        "connect",
        [&](auto done) {
          stream.async_connect({asio::ip::address_v4::loopback(), port}, done);
        },
        [&] { close(); });
  }
  // Queues bytes, which must stay put until written; a failure ends the queue.
  void post(std::string_view bytes) {
    outbox.push_back(bytes);
    if (outbox.size() == 1) {
      writeNext();
    }
  }
  void send(std::string_view bytes) {  // posts and waits until everything queued is written
    post(bytes);
    if (!loop.runUntil([&] { return outbox.empty(); })) {
      close();
      throw std::runtime_error("deadline passed: send");
    }
    if (writeError) {
      throw boost::system::system_error(std::exchange(writeError, {}), "send");
    }
  }
  void shutdownSend() {
    error_code ignored;
    stream.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  }
  void close() {
    reading = false;
    error_code ignored;
    stream.close(ignored);
  }
  void reset() { resetConnection(stream); }

  // The reads throw when the peer ends first, or the deadline passes.
  [[nodiscard]] std::string read(std::size_t count) {
    readUntil([&] { return received.size() >= count; }, "read");
    std::string out = received.substr(0, count);
    received.erase(0, count);
    return out;
  }
  [[nodiscard]] std::string readHead() {  // up to and including CR LF CR LF
    readUntil([&] { return received.find("\r\n\r\n") != std::string::npos; }, "read a head");
    return read(received.find("\r\n\r\n") + 4);
  }
  [[nodiscard]] ws::Frame readFrame() {  // one server frame
    std::optional<ws::Frame> frame;
    readUntil([&] { return frame || (frame = ws::takeServerFrame(received)); }, "read a frame");
    return std::move(*frame);
  }
  [[nodiscard]] std::string readToEnd() {  // until an end of stream or a reset
    readUntil([&] { return endSeen; }, "read to the end");
    return std::exchange(received, {});
  }
  // Reads whenever the loop runs from now on, and hands what has arrived to onBytes, which may
  // take from it.
  void keepReading(std::function<void(std::string& received)> onBytes = {}) {
    onReceived = std::move(onBytes);
    reading = true;
    armRead();
  }
  [[nodiscard]] bool ended() const { return endSeen; }

  // Writes copies of unit back to back, one write at a time, until a write has made no progress
  // for `stall` or limit bytes are written; returns the bytes written. Throws when the
  // connection fails.
  [[nodiscard]] std::size_t sendUntilStalled(std::string_view unit, std::size_t limit,
                                             std::chrono::milliseconds stall) {
    std::size_t sent = 0;
    while (sent < limit) {
      const std::size_t offset = sent % unit.size();
      bool done = false;
      error_code result;
      // One write_some at a time: each completion is progress, and a write still pending after
      // `stall` means the other side has stopped taking bytes.
      stream.async_write_some(
          asio::buffer(unit.data() + offset, std::min(unit.size() - offset, limit - sent)),
          [&](const error_code& error, std::size_t count) {
            result = error;
            sent += count;
            done = true;
          });
      if (!loop.runUntil([&] { return done; }, stall)) {
        error_code ignored;
        stream.cancel(ignored);
        (void)loop.runUntil([&] { return done; });
        return sent;
      }
      if (result) {
        throw boost::system::system_error(result, "send");
      }
    }
    return sent;
  }

private:
  friend class Listener;
  Loop& loop;
  std::string received;  // read but not yet taken
  std::function<void(std::string&)> onReceived;
  std::deque<std::string_view> outbox;  // the front is being written
  error_code writeError;
  bool readArmed = false;
  bool reading = false;  // keepReading() was called
  bool endSeen = false;
  std::unique_ptr<char[]> chunk = std::make_unique<char[]>(65536);
  asio::ip::tcp::socket stream;  // last: closed before the buffers above go

  void writeNext() {
    asio::async_write(stream, asio::buffer(outbox.front()), [this](const error_code& error, auto) {
      outbox.pop_front();
      if (error) {
        writeError = error;
        outbox.clear();
      } else if (!outbox.empty()) {
        writeNext();
      }
    });
  }
  void armRead() {
    if (readArmed || endSeen) {
      return;
    }
    readArmed = true;
    stream.async_read_some(
        asio::buffer(chunk.get(), 65536), [this](const error_code& error, std::size_t count) {
          readArmed = false;
          received.append(chunk.get(), count);
          // A cancelled read leaves the stream as it was.
          endSeen = endSeen || (error && error != asio::error::operation_aborted);
          if (onReceived) {
            onReceived(received);
          }
          if (reading) {
            armRead();
          }
        });
  }
  template <class Enough>
  void readUntil(Enough enough, const char* what) {
    const bool done = loop.runUntil([&] {
      if (enough() || endSeen) {
        return true;
      }
      armRead();
      return false;
    });
    if (!reading && readArmed) {
      error_code ignored;
      stream.cancel(ignored);
      (void)loop.runUntil([&] { return !readArmed; });
    }
    if (!enough()) {
      throw std::runtime_error((done ? "the peer ended: " : "deadline passed: ") + std::string(what)
                               + " after " + std::to_string(received.size()) + " bytes");
    }
  }
};

// A listening socket on 127.0.0.1 and a free port, on the loop. A silent one never answers a
// connect: its backlog of 0 is filled by one connection of its own. Once it goes, nothing
// listens on its port, so that a connect there is refused.
class Listener {
public:
  enum class Kind { accepting, silent };
  explicit Listener(Loop& eventLoop, Kind kind = Kind::accepting)
      : loop(eventLoop), acceptor(loop.context(), anyLoopbackPort.protocol()) {
    acceptor.bind(anyLoopbackPort);
    acceptor.listen(kind == Kind::silent ? 0 : asio::socket_base::max_listen_connections);
    if (kind == Kind::silent) {
      filler.emplace(loop, port());
    }
  }

  [[nodiscard]] std::uint16_t port() const { return acceptor.local_endpoint().port(); }
  void accept(Peer& peer) {  // throws when nothing connects within the deadline
    loop.await(
        "accept", [&](auto done) { acceptor.async_accept(peer.stream, done); },
        [&] { acceptor.cancel(); });
  }

private:
  Loop& loop;
  asio::ip::tcp::acceptor acceptor;
  std::optional<Peer> filler;
};

// A game server on 127.0.0.1 and a thread of its own: it writes back every byte it reads, and
// counts what passes; the counts may be read from any thread.
class EchoServer {
public:
  // resetAfter: reset each connection once it has read that many bytes.
  explicit EchoServer(std::optional<std::uint64_t> resetAfterBytes = std::nullopt)
      : resetAfter(resetAfterBytes) {
    acceptor.open(anyLoopbackPort.protocol());
    acceptor.bind(anyLoopbackPort);
    acceptor.listen(asio::socket_base::max_listen_connections);
    boundPort = acceptor.local_endpoint().port();
    acceptNext();
    thread = std::thread([this] { io.run(); });
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  EchoServer(EchoServer&&) = delete;
  EchoServer& operator=(EchoServer&&) = delete;
  ~EchoServer() {  // stops the thread; connections still open are dropped
    io.stop();
    thread.join();
  }

  [[nodiscard]] std::uint16_t port() const { return boundPort; }
  [[nodiscard]] bool allEnded() const { return ended == accepted; }
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> ended{0};  // connections the peer ended or this server reset
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> sent{0};

private:
  // One accepted connection: read, write the same bytes back, read again.
  class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(EchoServer& owner, asio::ip::tcp::socket accepted)
        : server(owner), socket(std::move(accepted)) {}

    void receive() {
      socket.async_read_some(asio::buffer(chunk.get(), 16384),
                             [self = shared_from_this()](const error_code& error, std::size_t n) {
                               self->onReceived(error, n);
                             });
    }

  private:
    EchoServer& server;  // outlives every connection: its destructor joins the thread first
    std::unique_ptr<char[]> chunk = std::make_unique<char[]>(16384);
    std::uint64_t receivedHere = 0;
    asio::ip::tcp::socket socket;

    void onReceived(const error_code& error, std::size_t count) {
      if (error) {
        ++server.ended;  // end of stream or reset: the bridge let go of this connection
        return;
      }
      server.received += count;
      receivedHere += count;
      if (server.resetAfter && receivedHere >= *server.resetAfter) {
        resetConnection(socket);
        ++server.ended;
        return;
      }
      asio::async_write(socket, asio::buffer(chunk.get(), count),
                        [self = shared_from_this()](const error_code& writeError, std::size_t n) {
                          self->server.sent += n;
                          if (writeError) {
                            ++self->server.ended;
                          } else {
                            self->receive();
                          }
                        });
    }
  };

  const std::optional<std::uint64_t> resetAfter;
  asio::io_context io{1};
  asio::ip::tcp::acceptor acceptor{io};
  std::uint16_t boundPort = 0;
  std::thread thread;  // last: started once everything above exists

  void acceptNext() {
    acceptor.async_accept([this](const error_code& error, asio::ip::tcp::socket socket) {
      if (error) {
        return;  // stopped
      }
      ++accepted;
      std::make_shared<Connection>(*this, std::move(socket))->receive();
      acceptNext();
    });
  }
};

// The allowlist key "127.0.0.1:<port>" and the bridge path "/127.0.0.1/<port>" of a local server.
[[nodiscard]] inline std::string targetKey(std::uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}
[[nodiscard]] inline std::string targetPath(std::uint16_t port) {
  return "/127.0.0.1/" + std::to_string(port);
}

}  // namespace quillfern::testing
