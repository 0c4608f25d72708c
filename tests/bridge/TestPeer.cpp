#include "TestPeer.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <random>
#include <stdexcept>

namespace quillfern::testing {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Runs io until done is set or the deadline passes; on a missed deadline cancels the socket's
// operations, lets them finish and throws.
void runUntil(asio::io_context& io, const bool& done, asio::ip::tcp::socket& socket,
              std::chrono::steady_clock::duration deadline, const char* what) {
  io.restart();
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done && std::chrono::steady_clock::now() < end) {
    io.run_one_until(end);
  }
  if (!done) {
    error_code ignored;
    socket.cancel(ignored);
    io.restart();
    while (!done) {
      io.run_one();
    }
    throw std::runtime_error(std::string("deadline passed: ") + what);
  }
}

}  // namespace

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int value : values) {
    out += static_cast<char>(value);
  }
  return out;
}

std::string patternedBytes(std::size_t size, std::uint32_t seed) {
  std::minstd_rand generator(seed + 1);  // a seed of 0 is not allowed
  std::string out(size, '\0');
  for (char& c : out) {
    c = static_cast<char>(generator() >> 8U);
  }
  return out;
}

void resetConnection(asio::ip::tcp::socket& socket) {
  error_code ignored;
  socket.set_option(asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
}

std::optional<TestPeer::Frame> takeFrame(std::string& received) {
  if (received.size() < 2) {
    return std::nullopt;
  }
  std::uint64_t length = static_cast<std::uint8_t>(received[1]) & 0x7FU;
  std::size_t headerSize = 2;
  if (length >= 126) {
    headerSize = length == 126 ? 4 : 10;
    if (received.size() < headerSize) {
      return std::nullopt;
    }
    length = 0;
    for (std::size_t i = 2; i < headerSize; ++i) {
      length = (length << 8U) | static_cast<std::uint8_t>(received[i]);
    }
  }
  if (received.size() - headerSize < length) {
    return std::nullopt;
  }
  TestPeer::Frame frame{.header = received.substr(0, headerSize),
                        .first = static_cast<std::uint8_t>(received[0]),
                        .payload = received.substr(headerSize, static_cast<std::size_t>(length))};
  received.erase(0, headerSize + static_cast<std::size_t>(length));
  return frame;
}

std::string maskedFrame(std::uint8_t first, std::string_view payload) {
  std::string frame(1, static_cast<char>(first));
  const std::size_t size = payload.size();
  if (size < 126) {
    frame += static_cast<char>(0x80 | size);
  } else if (size <= 0xFFFF) {
    frame += bytes({0x80 | 126, static_cast<int>(size >> 8U), static_cast<int>(size & 0xFFU)});
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame += static_cast<char>((size >> static_cast<unsigned>(shift)) & 0xFFU);
    }
  }
  constexpr std::array<char, 4> key{1, 2, 3, 4};
  frame.append(key.data(), key.size());
  const std::size_t payloadAt = frame.size();
  frame.append(payload);
  for (std::size_t i = 0; i < size; ++i) {
    frame[payloadAt + i] = static_cast<char>(frame[payloadAt + i] ^ key[i % 4]);
  }
  return frame;
}

TestPeer::TestPeer() : stream(io) {}

TestPeer::TestPeer(std::uint16_t port) : stream(io) {
  connect(port);
}

void TestPeer::connect(std::uint16_t port) {
  bool done = false;
  error_code result;
  stream.async_connect({asio::ip::address_v4::loopback(), port}, [&](const error_code& error) {
    result = error;
    done = true;
  });
  runUntil(io, done, stream, testDeadline, "connect");
  if (result) {
    throw boost::system::system_error(result, "connect");
  }
}

void TestPeer::send(std::string_view data) {
  bool done = false;
  error_code result;
  asio::async_write(stream, asio::buffer(data.data(), data.size()),
                    [&](const error_code& error, std::size_t) {
                      result = error;
                      done = true;
                    });
  runUntil(io, done, stream, testDeadline, "send");
  if (result) {
    throw boost::system::system_error(result, "send");
  }
}

void TestPeer::shutdownSend() {
  error_code ignored;
  stream.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

void TestPeer::close() {
  error_code ignored;
  stream.close(ignored);
}

void TestPeer::reset() {
  resetConnection(stream);
}

bool TestPeer::readMore() {
  if (ended) {
    return false;
  }
  std::array<char, 65536> chunk{};
  bool done = false;
  error_code result;
  std::size_t count = 0;
  stream.async_read_some(asio::buffer(chunk), [&](const error_code& error, std::size_t n) {
    result = error;
    count = n;
    done = true;
  });
  runUntil(io, done, stream, testDeadline, "read");
  received.append(chunk.data(), count);
  if (result) {
    ended = true;  // end of stream, or reset: either way the peer is gone
  }
  return count > 0 || !ended;
}

std::string TestPeer::read(std::size_t count) {
  while (received.size() < count) {
    if (!readMore() && received.size() < count) {
      throw std::runtime_error("peer closed after " + std::to_string(received.size()) + " of "
                               + std::to_string(count) + " bytes");
    }
  }
  std::string out = received.substr(0, count);
  received.erase(0, count);
  return out;
}

std::string TestPeer::readHead() {
  std::size_t end = 0;
  while ((end = received.find("\r\n\r\n")) == std::string::npos) {
    if (!readMore()) {
      throw std::runtime_error("peer closed before the end of a head: " + received);
    }
  }
  return read(end + 4);
}

std::string TestPeer::readToEnd() {
  while (readMore()) {
  }
  return std::exchange(received, {});
}

bool TestPeer::closedByPeer() {
  return readToEnd().empty() && ended;
}

std::size_t TestPeer::sendUntilStalled(std::string_view unit, std::size_t limit,
                                       std::chrono::milliseconds stall) {
  stream.non_blocking(true);
  std::size_t sent = 0;
  while (sent < limit) {
    const std::size_t offset = sent % unit.size();
    error_code error;
    sent += stream.write_some(
        asio::buffer(unit.data() + offset, std::min(unit.size() - offset, limit - sent)), error);
    if (error == asio::error::would_block) {
      bool writable = false;
      stream.async_wait(asio::ip::tcp::socket::wait_write,
                        [&](const error_code&) { writable = true; });
      io.restart();
      io.run_one_for(stall);
      if (!writable) {
        stream.cancel();
        io.restart();
        io.run();
        break;
      }
    } else if (error) {
      throw boost::system::system_error(error, "send");
    }
  }
  stream.non_blocking(false);
  return sent;
}

void TestPeer::sendFrame(std::uint8_t first, std::string_view payload) {
  send(maskedFrame(first, payload));
}

TestPeer::Frame TestPeer::readFrame() {
  while (true) {
    if (auto frame = takeFrame(received)) {
      return std::move(*frame);
    }
    if (!readMore()) {
      throw std::runtime_error("peer closed inside a frame, " + std::to_string(received.size())
                               + " bytes into it");
    }
  }
}

TestListener::TestListener(int backlog) : acceptor(io) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  acceptor.open(endpoint.protocol());
  acceptor.bind(endpoint);
  acceptor.listen(backlog);
}

std::uint16_t TestListener::port() const {
  return acceptor.local_endpoint().port();
}

void TestListener::accept(TestPeer& peer) {
  if (!acceptWithin(peer, std::chrono::duration_cast<std::chrono::milliseconds>(testDeadline))) {
    throw std::runtime_error("deadline passed: accept");
  }
}

bool TestListener::acceptWithin(TestPeer& peer, std::chrono::milliseconds wait) {
  bool done = false;
  error_code result;
  acceptor.async_accept(peer.socket(), [&](const error_code& error) {
    result = error;
    done = true;
  });
  io.restart();
  io.run_one_for(wait);
  if (!done) {
    acceptor.cancel();
    io.restart();
    io.run();
    return false;
  }
  if (result) {
    throw boost::system::system_error(result, "accept");
  }
  return true;
}

std::uint16_t refusingPort() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
  return probe.local_endpoint().port();  // closed again when probe goes
}

}  // namespace quillfern::testing
