// A small HTTP/1.1 server for tests on 127.0.0.1 and a free port: it records each request head
// and answers it with the reply its handler chooses, one request per connection. It runs on a
// thread of its own, where the handler runs too; its destructor drops every connection.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quillfern::testing {

class LocalHttpServer {
public:
  struct Request {
    std::string target;  // as sent: a path, or an absolute URL when taken for a proxy
    std::string head;    // the whole head as it came, up to and including CR LF CR LF
  };
  struct Reply {
    int status = 200;
    std::string body{};
    std::vector<std::pair<std::string, std::string>> headers{};  // besides the length and close
    bool hold = false;                                           // never answered
  };
  using Handler = std::function<Reply(const Request&)>;

  explicit LocalHttpServer(Handler replies) : handler(std::move(replies)) {
    accept();
    thread = std::thread([this] { io.run(); });
  }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;
  LocalHttpServer(LocalHttpServer&&) = delete;
  LocalHttpServer& operator=(LocalHttpServer&&) = delete;
  ~LocalHttpServer() {
    io.stop();
    thread.join();
  }

  [[nodiscard]] std::uint16_t port() const { return boundPort; }
  [[nodiscard]] std::string url(std::string_view path) const {  // http://127.0.0.1:<port><path>
    return "http://127.0.0.1:" + std::to_string(port()) + std::string(path);
  }
  [[nodiscard]] std::vector<Request> requests() const {
    const std::scoped_lock guard(mutex);
    return received;
  }
  // Waits until at least count requests have arrived, or the deadline passes.
  [[nodiscard]] bool waitForRequests(
      std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
    std::unique_lock guard(mutex);
    return arrived.wait_for(guard, deadline, [&] { return received.size() >= count; });
  }

private:
  using Socket = boost::asio::ip::tcp::socket;
  using ErrorCode = boost::system::error_code;
  struct Connection {
    explicit Connection(Socket accepted) : socket(std::move(accepted)) {}
    std::string input;
    std::string output;
    Socket socket;  // last: closed before the buffers its operations use
  };

  // The handlers capture `this`: the destructor stops and joins the thread first.
  Handler handler;
  mutable std::mutex mutex;  // guards received
  mutable std::condition_variable arrived;
  std::vector<Request> received;
  boost::asio::io_context io{1};
  boost::asio::ip::tcp::acceptor acceptor{io, {boost::asio::ip::address_v4::loopback(), 0}};
  const std::uint16_t boundPort = acceptor.local_endpoint().port();
  std::vector<std::shared_ptr<Connection>> held;  // on the server's thread only
  std::thread thread;                             // last: started once everything above exists

  void accept() {
    acceptor.async_accept([this](const ErrorCode& error, Socket socket) {
      if (!error) {
        read(std::make_shared<Connection>(std::move(socket)));
        accept();
      }
    });
  }
  void read(const std::shared_ptr<Connection>& connection) {
    boost::asio::async_read_until(
        connection->socket, boost::asio::dynamic_buffer(connection->input, 65536), "\r\n\r\n",
        [this, connection](const ErrorCode& error, std::size_t n) {
          if (!error) {
            onHead(connection, parseHead(std::string_view(connection->input).substr(0, n)));
          }
        });
  }
  // The target is the second word of the request line.
  static Request parseHead(std::string_view head) {
    const std::size_t start = head.find(' ') + 1;
    return {.target = std::string(head.substr(start, head.find(' ', start) - start)),
            .head = std::string(head)};
  }
  void onHead(const std::shared_ptr<Connection>& connection, Request request) {
    const Reply reply = handler(request);
    {
      const std::scoped_lock guard(mutex);
      received.push_back(std::move(request));
    }
    arrived.notify_all();
    std::string& out = connection->output;  // clients go by the code, not the phrase
    out = "HTTP/1.1 " + std::to_string(reply.status) + " Reply\r\nContent-Length: "
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
    boost::asio::async_write(connection->socket, boost::asio::buffer(connection->output),
                             [connection](const ErrorCode&, std::size_t) {
                               ErrorCode ignored;
                               connection->socket.shutdown(Socket::shutdown_both, ignored);
                             });
  }
};

}  // namespace quillfern::testing
