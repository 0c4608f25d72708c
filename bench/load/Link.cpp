#include "load/Link.hpp"

#include "support/WebSocketWire.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace quillfern::bench {

namespace {

constexpr std::size_t maximumHeadSize = 16384;
constexpr std::size_t headReadSize = 2048;
constexpr std::string_view headEnd = "\r\n\r\n";

// Relays do not check the masking key's randomness, and one fixed key keeps the generator's own
// work out of the figures.
constexpr std::array<std::uint8_t, 4> fixedMask{0x37, 0xFA, 0x21, 0x3D};

}  // namespace

std::shared_ptr<Link> Link::create(const asio::any_io_executor& executor, Route route) {
  return std::shared_ptr<Link>(new Link(executor, std::move(route)));
}

Link::Link(const asio::any_io_executor& executor, Route linkRoute)
    : route(std::move(linkRoute)), stream(executor) {}

void Link::open(Done done) {
  whenOpen = std::move(done);
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), route.port);
  stream.async_connect(endpoint, [self = shared_from_this()](const boost::system::error_code& ec) {
    self->onConnected(ec);
  });
}

void Link::onConnected(const boost::system::error_code& ec) {
  if (ec) {
    finish(ec);
    return;
  }
  boost::system::error_code ignored;
  stream.set_option(asio::ip::tcp::no_delay(true), ignored);
  if (!isWebSocket()) {
    finish({});
    return;
  }
  key = randomWebSocketKey();
  const std::string hostPort = "127.0.0.1:" + std::to_string(route.port);
  auto request = std::make_shared<std::string>(upgradeRequest(*route.path, hostPort, key));
  asio::async_write(stream, asio::buffer(*request),
                    [self = shared_from_this(), request](const boost::system::error_code& writeEc,
                                                         std::size_t /*count*/) {
                      if (writeEc) {
                        self->finish(writeEc);
                        return;
                      }
                      self->readHead();
                    });
}

void Link::readHead() {
  const std::size_t used = head.size();
  head.resize(used + headReadSize);
  stream.async_read_some(
      asio::buffer(head.data() + used, headReadSize),
      [self = shared_from_this(), used](const boost::system::error_code& ec, std::size_t count) {
        self->head.resize(used + count);
        self->onHeadBytes(ec, count);
      });
}

void Link::onHeadBytes(const boost::system::error_code& ec, std::size_t /*count*/) {
  if (ec) {
    finish(ec);
    return;
  }
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  const std::size_t end = text.find(headEnd);
  if (end == std::string_view::npos) {
    if (head.size() >= maximumHeadSize) {
      finish(make_error_code(boost::system::errc::protocol_error));
      return;
    }
    readHead();
    return;
  }
  const std::size_t headSize = end + headEnd.size();
  if (!isUpgradeAccepted(text.substr(0, headSize), key)) {
    finish(make_error_code(boost::system::errc::connection_refused));
    return;
  }
  head.erase(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(headSize));
  finish({});
}

void Link::finish(const boost::system::error_code& ec) {
  if (whenOpen) {
    auto done = std::exchange(whenOpen, nullptr);
    done(ec);
  }
}

std::vector<std::uint8_t> Link::wireMessage(std::span<const std::uint8_t> payload) const {
  if (!isWebSocket()) {
    return {payload.begin(), payload.end()};
  }
  const std::string frame = testing::ws::clientFrame(
      0x82, {reinterpret_cast<const char*>(payload.data()), payload.size()}, fixedMask);
  return {frame.begin(), frame.end()};
}

ServerFrameReader::Progress Link::received(std::span<const std::uint8_t> bytes) {
  if (!isWebSocket()) {
    return {.payloadBytes = bytes.size()};
  }
  return reader.consume(bytes);
}

std::vector<std::uint8_t> Link::takeLeftover() {
  std::vector<std::uint8_t> leftover;
  leftover.swap(head);
  return leftover;
}

}  // namespace quillfern::bench
