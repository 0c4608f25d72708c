#include "load/LocalServers.hpp"

#include <array>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

namespace quillfern::bench {

namespace {

constexpr std::size_t chunkSize = 65536;
constexpr std::chrono::milliseconds retryDelay{50};

asio::ip::tcp::acceptor loopbackAcceptor(asio::io_context& context) {
  asio::ip::tcp::acceptor acceptor(context);
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  acceptor.open(endpoint.protocol());
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
  return acceptor;
}

void prepare(asio::ip::tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
}

// Reads only once data is there, into a buffer shared by every connection on the thread, so
// that thousands of idle connections cost no buffer each.
class SinkConnection : public std::enable_shared_from_this<SinkConnection> {
public:
  explicit SinkConnection(asio::ip::tcp::socket accepted) : socket(std::move(accepted)) {}

  void waitForData() {
    socket.async_wait(asio::socket_base::wait_read,
                      [self = shared_from_this()](const boost::system::error_code& ec) {
                        if (!ec) {
                          self->drain();
                        }
                      });
  }

private:
  asio::ip::tcp::socket socket;

  void drain() {
    thread_local std::array<std::uint8_t, chunkSize> scratch{};
    boost::system::error_code ec;
    socket.non_blocking(true, ec);
    while (!ec) {
      const std::size_t count = socket.read_some(asio::buffer(scratch), ec);
      if (count == 0 && !ec) {
        return;
      }
    }
    if (ec == asio::error::would_block) {
      waitForData();
    }
  }
};

class SourceConnection : public std::enable_shared_from_this<SourceConnection> {
public:
  explicit SourceConnection(asio::ip::tcp::socket accepted) : socket(std::move(accepted)) {}

  void writeChunk() {
    static const std::vector<std::uint8_t> chunk(chunkSize, 0x5A);
    asio::async_write(
        socket, asio::buffer(chunk),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t /*count*/) {
          if (!ec) {
            self->writeChunk();
          }
        });
  }

private:
  asio::ip::tcp::socket socket;
};

// Echoes whatever arrives; holds a buffer only as large as the last read.
class EchoConnection : public std::enable_shared_from_this<EchoConnection> {
public:
  explicit EchoConnection(asio::ip::tcp::socket accepted) : socket(std::move(accepted)) {}

  void waitForData() {
    socket.async_wait(asio::socket_base::wait_read,
                      [self = shared_from_this()](const boost::system::error_code& ec) {
                        if (!ec) {
                          self->readAvailable();
                        }
                      });
  }

private:
  std::vector<std::uint8_t> buffer;
  asio::ip::tcp::socket socket;

  void readAvailable() {
    boost::system::error_code ec;
    const std::size_t available = socket.available(ec);
    buffer.resize(available == 0 ? 1 : std::min(available, chunkSize));
    const std::size_t count = socket.read_some(asio::buffer(buffer), ec);
    if (ec || count == 0) {
      return;
    }
    buffer.resize(count);
    asio::async_write(socket, asio::buffer(buffer),
                      [self = shared_from_this()](const boost::system::error_code& writeEc,
                                                  std::size_t /*count*/) {
                        if (!writeEc) {
                          self->waitForData();
                        }
                      });
  }
};

// Accepts forever; each accepted socket becomes a Connection handed to begin. A failed accept
// (out of descriptors, say) waits a moment instead of spinning.
template <class Connection, class Begin>
void acceptLoop(asio::ip::tcp::acceptor& acceptor, Begin begin) {
  acceptor.async_accept(
      [&acceptor, begin](const boost::system::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted) {
          return;
        }
        if (ec) {
          auto pause = std::make_shared<asio::steady_timer>(acceptor.get_executor(), retryDelay);
          pause->async_wait([&acceptor, begin, pause](const boost::system::error_code& /*ec*/) {
            acceptLoop<Connection>(acceptor, begin);
          });
          return;
        }
        prepare(socket);
        begin(*std::make_shared<Connection>(std::move(socket)));
        acceptLoop<Connection>(acceptor, begin);
      });
}

}  // namespace

LocalServers::LocalServers(asio::io_context& context)
    : sink(loopbackAcceptor(context)),
      source(loopbackAcceptor(context)),
      echo(loopbackAcceptor(context)) {
  acceptLoop<SinkConnection>(sink, [](SinkConnection& c) { c.waitForData(); });
  acceptLoop<SourceConnection>(source, [](SourceConnection& c) { c.writeChunk(); });
  acceptLoop<EchoConnection>(echo, [](EchoConnection& c) { c.waitForData(); });
}

}  // namespace quillfern::bench
