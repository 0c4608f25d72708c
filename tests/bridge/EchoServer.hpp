// A TCP server on 127.0.0.1 that stands in for a game server: it writes back every byte it reads
// and counts what passes. It runs on a thread of its own; the counts may be read from any thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>

namespace quillfern::testing {

class EchoServer {
public:
  // resetAfter: reset each connection (see resetConnection()) once it has read that many bytes.
  explicit EchoServer(std::optional<std::uint64_t> resetAfter = std::nullopt);
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  EchoServer(EchoServer&&) = delete;
  EchoServer& operator=(EchoServer&&) = delete;
  // Stops the thread; connections still open are dropped.
  ~EchoServer();

  [[nodiscard]] std::uint16_t port() const { return boundPort; }

  struct Counts {
    std::uint64_t accepted = 0;
    std::uint64_t ended = 0;  // connections the peer ended or this server reset
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
  };
  [[nodiscard]] Counts counts() const;
  // Waits until every accepted connection has ended.
  [[nodiscard]] bool allConnectionsEnd() const;

private:
  class Connection;

  const std::optional<std::uint64_t> resetAfter;
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> ended{0};
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> sent{0};
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor;
  std::uint16_t boundPort = 0;
  std::thread thread;  // last: started once everything above exists

  void acceptNext();
};

}  // namespace quillfern::testing
