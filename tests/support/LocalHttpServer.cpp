#include "support/LocalHttpServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <condition_variable>
#include <mutex>

namespace quillfern::testing {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// A well-formed head: the request line, then "Name: value" lines, each ending in CR LF.
LocalHttpServer::Request parseHead(std::string_view head) {
  LocalHttpServer::Request request;
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view first = head.substr(0, lineEnd);
  request.method = first.substr(0, first.find(' '));
  request.target =
      first.substr(request.method.size() + 1, first.rfind(' ') - request.method.size() - 1);
  for (std::size_t start = lineEnd + 2; start + 2 < head.size(); start = lineEnd + 2) {
    lineEnd = head.find("\r\n", start);
    const std::size_t colon = head.find(':', start);
    const std::size_t value = head.find_first_not_of(' ', colon + 1);
    request.headers.emplace_back(head.substr(start, colon - start),
                                 head.substr(value, lineEnd - value));
  }
  return request;
}

struct Connection {
  explicit Connection(asio::ip::tcp::socket accepted) : socket(std::move(accepted)) {}
  std::string input;
  std::string output;
  asio::ip::tcp::socket socket;  // last: closed before the buffers its operations use
};

}  // namespace

// The handlers capture the raw State: the server stops and joins its thread before it goes.
struct LocalHttpServer::State {
  Handler handler;
  mutable std::mutex mutex;  // guards received
  mutable std::condition_variable arrived;
  std::vector<Request> received;
  asio::io_context io{1};
  asio::ip::tcp::acceptor acceptor{io, {asio::ip::address_v4::loopback(), 0}};
  std::vector<std::shared_ptr<Connection>> held;  // on the server's thread only

  void accept() {
    acceptor.async_accept([this](const error_code& error, asio::ip::tcp::socket socket) {
      if (!error) {
        read(std::make_shared<Connection>(std::move(socket)));
        accept();
      }
    });
  }
  void read(const std::shared_ptr<Connection>& connection) {
    asio::async_read_until(connection->socket, asio::dynamic_buffer(connection->input, 65536),
                           "\r\n\r\n", [this, connection](const error_code& error, std::size_t n) {
                             if (!error) {
                               onHead(connection, n);
                             }
                           });
  }
  void onHead(const std::shared_ptr<Connection>& connection, std::size_t headBytes) {
    Request request = parseHead(std::string_view(connection->input).substr(0, headBytes));
    const Reply reply = handler(request);
    {
      const std::scoped_lock guard(mutex);
      received.push_back(std::move(request));
    }
    arrived.notify_all();
    // Browsers show the reason phrase on error pages; curl ignores it.
    const auto* reason = reply.status == 502  ? " Bad Gateway"
                         : reply.status < 300 ? " OK"
                                              : " Reply";
    std::string& out = connection->output;
    out = "HTTP/1.1 " + std::to_string(reply.status) + reason + "\r\nContent-Length: "
          + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers) {
      out += name + ": " + value + "\r\n";
    }
    out += "\r\n" + reply.body;
    if (reply.hold) {
      held.push_back(connection);
    } else {
      answer(connection);
    }
  }
  static void answer(const std::shared_ptr<Connection>& connection) {
    asio::async_write(connection->socket, asio::buffer(connection->output),
                      [connection](const error_code&, std::size_t) {
                        error_code ignored;
                        connection->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                      });
  }
};

LocalHttpServer::LocalHttpServer(Handler handler) : state(std::make_unique<State>()) {
  state->handler = std::move(handler);
  boundPort = state->acceptor.local_endpoint().port();
  state->accept();
  thread = std::thread([running = state.get()] { running->io.run(); });
}

LocalHttpServer::~LocalHttpServer() {
  state->io.stop();
  thread.join();
}

LocalHttpServer::Handler LocalHttpServer::always(Reply reply) {
  return [reply = std::move(reply)](const Request&) {
    return reply;
  };
}

std::string LocalHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(boundPort) + std::string(path);
}

std::vector<LocalHttpServer::Request> LocalHttpServer::requests() const {
  const std::scoped_lock guard(state->mutex);
  return state->received;
}

bool LocalHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds deadline) const {
  std::unique_lock guard(state->mutex);
  return state->arrived.wait_for(guard, deadline, [&] { return state->received.size() >= count; });
}

void LocalHttpServer::releaseHeld() {
  asio::post(state->io, [running = state.get()] {
    for (const auto& connection : running->held) {
      State::answer(connection);
    }
    running->held.clear();
  });
}

}  // namespace quillfern::testing
