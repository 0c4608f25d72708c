// Blocking loopback sockets for bridge tests: a peer that connects to or is accepted from
// 127.0.0.1, and a listener on a free port. Every operation has a deadline; a missed deadline
// throws, which fails the test. Each object is used from the test's own thread only.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillfern::testing {

inline constexpr std::chrono::seconds testDeadline{10};

// Bytes as a string, for building and comparing frames.
[[nodiscard]] std::string bytes(std::initializer_list<int> values);
// size bytes of a pseudo-random pattern that seed repeats, so that a lost, doubled or moved
// byte shows.
[[nodiscard]] std::string patternedBytes(std::size_t size, std::uint32_t seed);

// Closes socket so that the peer gets a reset instead of an orderly end (SO_LINGER of zero).
void resetConnection(boost::asio::ip::tcp::socket& socket);

class TestPeer {
public:
  TestPeer();                             // unconnected, for TestListener::accept
  explicit TestPeer(std::uint16_t port);  // connected to 127.0.0.1:port
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;
  TestPeer(TestPeer&&) = delete;
  TestPeer& operator=(TestPeer&&) = delete;
  ~TestPeer() = default;

  void connect(std::uint16_t port);
  void send(std::string_view data);
  void shutdownSend();
  void close();
  void reset();  // see resetConnection()

  // Exactly count bytes; throws when the peer closes first.
  [[nodiscard]] std::string read(std::size_t count);
  // Everything up to and including the first CR LF CR LF.
  [[nodiscard]] std::string readHead();
  // Everything until the peer closes (end of stream or reset).
  [[nodiscard]] std::string readToEnd();
  // True when the peer has closed and nothing more arrives.
  [[nodiscard]] bool closedByPeer();

  // Writes copies of unit back to back until the peer has taken none for `stall`, or limit
  // bytes are written; returns the bytes written (the last copy may be partial).
  [[nodiscard]] std::size_t sendUntilStalled(std::string_view unit, std::size_t limit,
                                             std::chrono::milliseconds stall);

  // A masked client frame with the given first byte (FIN and opcode) and payload.
  void sendFrame(std::uint8_t first, std::string_view payload);
  struct Frame {
    std::string header;  // the raw header bytes
    std::uint8_t first = 0;
    std::string payload;
  };
  // One server frame (never masked).
  [[nodiscard]] Frame readFrame();

  [[nodiscard]] boost::asio::ip::tcp::socket& socket() { return stream; }
  [[nodiscard]] boost::asio::io_context& context() { return io; }

private:
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket stream;
  std::string received;  // read but not yet taken
  bool ended = false;

  // Reads more into `received`; false at the end of the stream.
  bool readMore();
};

// Takes one whole server frame off the front of received, or nothing while less is there.
[[nodiscard]] std::optional<TestPeer::Frame> takeFrame(std::string& received);

// A masked client frame as bytes, key 1 2 3 4.
[[nodiscard]] std::string maskedFrame(std::uint8_t first, std::string_view payload);

// A listener on 127.0.0.1, on a free port.
class TestListener {
public:
  // backlog 0 with one connection left unaccepted makes every further connect hang.
  explicit TestListener(int backlog = boost::asio::socket_base::max_listen_connections);
  [[nodiscard]] std::uint16_t port() const;
  void accept(TestPeer& peer);
  // True when a connection arrives within `wait`.
  [[nodiscard]] bool acceptWithin(TestPeer& peer, std::chrono::milliseconds wait);

private:
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor;
};

// A port on 127.0.0.1 where nothing listens, so that a connect is refused.
[[nodiscard]] std::uint16_t refusingPort();

}  // namespace quillfern::testing
