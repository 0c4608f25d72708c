// A small HTTP/1.1 server for tests on 127.0.0.1 and a free port: it records each request head
// and answers it with the reply its handler chooses, one request per connection. It runs on a
// thread of its own, where the handler runs too; its destructor drops every connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quillfern::testing {

class LocalHttpServer {
public:
  using Headers = std::vector<std::pair<std::string, std::string>>;
  struct Request {
    std::string method;
    std::string target;  // as sent: a path, or an absolute URL when taken for a proxy
    Headers headers;     // in the order received, names as sent
  };
  struct Reply {
    int status = 200;
    std::string body{};
    Headers headers{};  // besides Content-Length and Connection
    bool hold = false;  // answered only by releaseHeld(); never released, never answered
  };
  using Handler = std::function<Reply(const Request&)>;

  explicit LocalHttpServer(Handler handler);
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;
  LocalHttpServer(LocalHttpServer&&) = delete;
  LocalHttpServer& operator=(LocalHttpServer&&) = delete;
  ~LocalHttpServer();

  [[nodiscard]] static Handler always(Reply reply);  // the same reply to every request

  [[nodiscard]] std::uint16_t port() const { return boundPort; }
  [[nodiscard]] std::string url(std::string_view path) const;  // http://127.0.0.1:<port><path>
  [[nodiscard]] std::vector<Request> requests() const;
  // Waits until at least count requests have arrived, or the deadline passes.
  [[nodiscard]] bool waitForRequests(
      std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
  void releaseHeld();

private:
  struct State;
  std::unique_ptr<State> state;  // the Asio side, kept out of this header
  std::uint16_t boundPort = 0;
  std::thread thread;
};

}  // namespace quillfern::testing
