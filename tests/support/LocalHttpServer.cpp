#include "support/LocalHttpServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <condition_variable>
#include <mutex>

namespace quillfern::testing {

namespace {

namespace asio = boost::asio;

constexpr std::size_t maxHeadBytes = std::size_t{64} * 1024;

std::string_view reasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    default:
      return "Status";
  }
}

LocalHttpServer::Request parseHead(std::string_view head) {
  LocalHttpServer::Request request;
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view first = head.substr(0, lineEnd);
  const std::size_t methodEnd = first.find(' ');
  const std::size_t targetEnd = first.rfind(' ');
  if (methodEnd != std::string_view::npos && targetEnd > methodEnd) {
    request.method = first.substr(0, methodEnd);
    request.target = first.substr(methodEnd + 1, targetEnd - methodEnd - 1);
  }
  while (lineEnd != std::string_view::npos && lineEnd + 2 < head.size()) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string_view line = head.substr(start, lineEnd - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') {
      value.remove_prefix(1);
    }
    request.headers.emplace_back(line.substr(0, colon), value);
  }
  return request;
}

std::string formatReply(const LocalHttpServer::Reply& reply) {
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " ";
  out += reasonFor(reply.status);
  out += "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n";
  for (const auto& [name, value] : reply.headers) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  return out + "\r\n" + reply.body;
}

struct Connection {
  explicit Connection(asio::ip::tcp::socket accepted) : socket(std::move(accepted)) {}
  std::string input;
  std::string output;
  asio::ip::tcp::socket socket;  // last: closed before the buffers its operations use
};

}  // namespace

struct LocalHttpServer::State {
  explicit State(Handler replyFor) : handler(std::move(replyFor)) {}

  void accept();
  void read(const std::shared_ptr<Connection>& connection);
  void onHead(const std::shared_ptr<Connection>& connection, std::size_t headBytes);
  static void answer(const std::shared_ptr<Connection>& connection);

  Handler handler;
  mutable std::mutex mutex;  // guards received
  mutable std::condition_variable arrived;
  std::vector<Request> received;
  asio::io_context ioc;
  std::vector<std::shared_ptr<Connection>> held;  // confined to the server's thread
  asio::ip::tcp::acceptor acceptor{ioc};
};

// The handlers capture the raw State: it outlives them, because the server stops and joins
// its thread before the State goes.
void LocalHttpServer::State::accept() {
  acceptor.async_accept([this](boost::system::error_code error, asio::ip::tcp::socket socket) {
    if (error) {
      return;
    }
    read(std::make_shared<Connection>(std::move(socket)));
    accept();
  });
}

void LocalHttpServer::State::read(const std::shared_ptr<Connection>& connection) {
  asio::async_read_until(connection->socket, asio::dynamic_buffer(connection->input, maxHeadBytes),
                         "\r\n\r\n",
                         [this, connection](boost::system::error_code error, std::size_t bytes) {
                           if (!error) {
                             onHead(connection, bytes);
                           }
                         });
}

void LocalHttpServer::State::onHead(const std::shared_ptr<Connection>& connection,
                                    std::size_t headBytes) {
  Request request = parseHead(std::string_view(connection->input).substr(0, headBytes));
  const Reply reply = handler(request);
  {
    const std::scoped_lock guard(mutex);
    received.push_back(std::move(request));
  }
  arrived.notify_all();
  connection->output = formatReply(reply);
  if (reply.hold) {
    held.push_back(connection);
  } else {
    answer(connection);
  }
}

void LocalHttpServer::State::answer(const std::shared_ptr<Connection>& connection) {
  asio::async_write(connection->socket, asio::buffer(connection->output),
                    [connection](boost::system::error_code, std::size_t) {
                      boost::system::error_code ignored;
                      connection->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
                      connection->socket.close(ignored);
                    });
}

LocalHttpServer::LocalHttpServer(Handler handler)
    : state(std::make_unique<State>(std::move(handler))) {
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), 0);
  state->acceptor.open(endpoint.protocol());
  state->acceptor.bind(endpoint);
  state->acceptor.listen();
  boundPort = state->acceptor.local_endpoint().port();
  state->accept();
  thread = std::thread([running = state.get()] { running->ioc.run(); });
}

LocalHttpServer::~LocalHttpServer() {
  state->ioc.stop();
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
  asio::post(state->ioc, [running = state.get()] {
    for (const auto& connection : running->held) {
      State::answer(connection);
    }
    running->held.clear();
  });
}

}  // namespace quillfern::testing
