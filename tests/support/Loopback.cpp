#include "support/Loopback.hpp"

#include <boost/asio/write.hpp>

#include <stdexcept>

namespace quillfern::testing {

using boost::system::error_code;

namespace {

const asio::ip::tcp::endpoint anyLoopbackPort(asio::ip::address_v4::loopback(), 0);

void resetConnection(asio::ip::tcp::socket& socket) {
  error_code ignored;
  socket.set_option(asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
}

}  // namespace

Peer::Peer(Loop& eventLoop) : loop(eventLoop), stream(loop.context()) {}

Peer::Peer(Loop& eventLoop, std::uint16_t port) : Peer(eventLoop) {
  connect(port);
}

Peer::~Peer() {
  onReceived = nullptr;
  close();
  (void)loop.runUntil([&] { return !readArmed && outbox.empty(); });
}

void Peer::connect(std::uint16_t port) {
  bool done = false;
  error_code result;
  stream.async_connect({asio::ip::address_v4::loopback(), port}, [&](const error_code& error) {
    result = error;
    done = true;
  });
  if (!loop.runUntil([&] { return done; })) {
    close();
    (void)loop.runUntil([&] { return done; });
    throw std::runtime_error("deadline passed: connect");
  }
  if (result) {
    throw boost::system::system_error(result, "connect");
  }
}

void Peer::post(std::string_view bytes) {
  outbox.push_back(bytes);
  if (outbox.size() == 1) {
    writeNext();
  }
}

void Peer::writeNext() {
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

void Peer::send(std::string_view bytes) {
  post(bytes);
  if (!loop.runUntil([&] { return outbox.empty(); })) {
    close();
    throw std::runtime_error("deadline passed: send");
  }
  if (writeError) {
    throw boost::system::system_error(std::exchange(writeError, {}), "send");
  }
}

void Peer::shutdownSend() {
  error_code ignored;
  stream.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

void Peer::close() {
  reading = false;
  error_code ignored;
  stream.close(ignored);
}

void Peer::reset() {
  resetConnection(stream);
}

void Peer::armRead() {
  if (readArmed || endSeen) {
    return;
  }
  readArmed = true;
  stream.async_read_some(asio::buffer(chunk.get(), 65536),
                         [this](const error_code& error, std::size_t count) {
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
void Peer::readUntil(Enough enough, const char* what) {
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
  if (!done) {
    throw std::runtime_error(std::string("deadline passed: ") + what);
  }
}

std::string Peer::read(std::size_t count) {
  readUntil([&] { return received.size() >= count; }, "read");
  if (received.size() < count) {
    throw std::runtime_error("the peer ended after " + std::to_string(received.size()) + " of "
                             + std::to_string(count) + " bytes");
  }
  std::string out = received.substr(0, count);
  received.erase(0, count);
  return out;
}

std::string Peer::readHead() {
  readUntil([&] { return received.find("\r\n\r\n") != std::string::npos; }, "read a head");
  const std::size_t end = received.find("\r\n\r\n");
  return read(end == std::string::npos ? received.size() + 1 : end + 4);
}

ws::Frame Peer::readFrame() {
  std::optional<ws::Frame> frame;
  readUntil([&] { return (frame = ws::takeServerFrame(received)).has_value(); }, "read a frame");
  if (!frame) {
    throw std::runtime_error("the peer ended " + std::to_string(received.size())
                             + " bytes into a frame");
  }
  return std::move(*frame);
}

std::string Peer::readToEnd() {
  readUntil([] { return false; }, "read to the end");
  return std::exchange(received, {});
}

void Peer::keepReading(std::function<void(std::string& received)> onBytes) {
  onReceived = std::move(onBytes);
  reading = true;
  armRead();
}

std::size_t Peer::sendUntilStalled(std::string_view unit, std::size_t limit,
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
    const bool moved = loop.runUntil([&] { return done; }, stall);
    if (!moved) {
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

Listener::Listener(Loop& eventLoop, Kind kind)
    : loop(eventLoop), acceptor(loop.context(), anyLoopbackPort.protocol()) {
  acceptor.bind(anyLoopbackPort);
  acceptor.listen(kind == Kind::silent ? 0 : asio::socket_base::max_listen_connections);
  if (kind == Kind::silent) {
    filler.emplace(loop, port());
  }
}

void Listener::accept(Peer& peer) {
  bool done = false;
  error_code result;
  acceptor.async_accept(peer.stream, [&](const error_code& error) {
    result = error;
    done = true;
  });
  if (!loop.runUntil([&] { return done; })) {
    acceptor.cancel();
    (void)loop.runUntil([&] { return done; });
    throw std::runtime_error("deadline passed: accept");
  }
  if (result) {
    throw boost::system::system_error(result, "accept");
  }
}

std::uint16_t refusingPort() {
  asio::io_context io;
  const asio::ip::tcp::acceptor probe(io, anyLoopbackPort);
  return probe.local_endpoint().port();  // closed again when probe goes
}

// One accepted connection: read, write the same bytes back, read again.
class EchoServer::Connection : public std::enable_shared_from_this<Connection> {
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

EchoServer::EchoServer(std::optional<std::uint64_t> resetAfterBytes) : resetAfter(resetAfterBytes) {
  acceptor.open(anyLoopbackPort.protocol());
  acceptor.bind(anyLoopbackPort);
  acceptor.listen(asio::socket_base::max_listen_connections);
  boundPort = acceptor.local_endpoint().port();
  acceptNext();
  thread = std::thread([this] { io.run(); });
}

EchoServer::~EchoServer() {
  io.stop();
  thread.join();
}

void EchoServer::acceptNext() {
  acceptor.async_accept([this](const error_code& error, asio::ip::tcp::socket socket) {
    if (error) {
      return;  // stopped
    }
    ++accepted;
    std::make_shared<Connection>(*this, std::move(socket))->receive();
    acceptNext();
  });
}

}  // namespace quillfern::testing
