#include "EchoServer.hpp"

#include "BridgeHarness.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <memory>

namespace quillfern::testing {

namespace asio = boost::asio;
using boost::system::error_code;

// One accepted connection: read, write the same bytes back, read again.
class EchoServer::Connection : public std::enable_shared_from_this<Connection> {
public:
  Connection(EchoServer& owner, asio::ip::tcp::socket accepted)
      : server(owner), socket(std::move(accepted)) {}

  void receive() {
    socket.async_read_some(asio::buffer(chunk),
                           [self = shared_from_this()](const error_code& error, std::size_t count) {
                             self->onReceived(error, count);
                           });
  }

private:
  EchoServer& server;  // outlives every connection: its destructor joins the thread first
  std::array<char, 16384> chunk{};
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
    asio::async_write(
        socket, asio::buffer(chunk.data(), count),
        [self = shared_from_this()](const error_code& writeError, std::size_t written) {
          self->server.sent += written;
          if (writeError) {
            ++self->server.ended;
            return;
          }
          self->receive();
        });
  }
};

EchoServer::EchoServer(std::optional<std::uint64_t> resetAfterBytes)
    : resetAfter(resetAfterBytes), acceptor(io) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  acceptor.open(endpoint.protocol());
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
  boundPort = acceptor.local_endpoint().port();
  acceptNext();
  thread = std::thread([this] { io.run(); });
}

EchoServer::~EchoServer() {
  io.stop();
  thread.join();
}

EchoServer::Counts EchoServer::counts() const {
  return {.accepted = accepted, .ended = ended, .received = received, .sent = sent};
}

bool EchoServer::allConnectionsEnd() const {
  return eventually([this] { return ended == accepted; });
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
