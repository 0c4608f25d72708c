// One client connection of the load generator: a TCP connection to a port on 127.0.0.1,
// upgraded to a WebSocket when its route names a path. Owned by the run that made it (through a
// std::shared_ptr that its own handlers also hold); lives on the run's single-threaded context.
#pragma once

#include "load/Asio.hpp"
#include "load/WebSocketWire.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillfern::bench {

// Where a run sends its traffic: a port on 127.0.0.1 spoken to as plain TCP, or as a WebSocket
// upgraded on path (for example "/127.0.0.1/40123").
struct Route {
  std::uint16_t port = 0;
  std::optional<std::string> path;
};

class Link : public std::enable_shared_from_this<Link> {
public:
  using Done = std::function<void(boost::system::error_code)>;

  [[nodiscard]] static std::shared_ptr<Link> create(const asio::any_io_executor& executor,
                                                    Route route);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  Link(Link&&) = delete;
  Link& operator=(Link&&) = delete;
  ~Link() = default;

  // Connects (TCP_NODELAY on) and, for a WebSocket route, upgrades. done runs once.
  void open(Done done);

  [[nodiscard]] asio::ip::tcp::socket& socket() { return stream; }
  [[nodiscard]] bool isWebSocket() const { return route.path.has_value(); }

  // One message as it goes on the wire: a masked binary frame on a WebSocket, the bytes
  // themselves on plain TCP.
  [[nodiscard]] std::vector<std::uint8_t> wireMessage(std::span<const std::uint8_t> payload) const;

  // Counts the payload in bytes just read: data-frame payload on a WebSocket, every byte on
  // plain TCP.
  [[nodiscard]] ServerFrameReader::Progress received(std::span<const std::uint8_t> bytes);

  // Bytes that arrived behind the 101 response head; the caller feeds them to received().
  [[nodiscard]] std::vector<std::uint8_t> takeLeftover();

private:
  Link(const asio::any_io_executor& executor, Route linkRoute);

  const Route route;
  std::string key;
  std::vector<std::uint8_t> head;  // the response head while it is being read
  ServerFrameReader reader;
  Done whenOpen;
  asio::ip::tcp::socket stream;

  void onConnected(const boost::system::error_code& ec);
  void readHead();
  void onHeadBytes(const boost::system::error_code& ec, std::size_t count);
  void finish(const boost::system::error_code& ec);
};

}  // namespace quillfern::bench
