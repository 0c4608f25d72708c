// A small HTTP/1.1 server for tests, on 127.0.0.1 and a port the system picks. It reads each
// request head, records it, and answers with the reply its handler chooses, one request per
// connection ("Connection: close"). It runs on a thread of its own; the handler runs there.
// Destroying the server closes every connection, answered or not.
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
    std::string target;  // as sent: a path, or an absolute URL when the client took us for a proxy
    Headers headers;     // in the order received, names as sent
  };
  struct Reply {
    int status = 200;
    std::string body{};
    Headers headers{};  // besides Content-Length and Connection, e.g. Location
    // Keep the connection open without answering until releaseHeld(); a reply never released
    // is a server that never answers.
    bool hold = false;
  };
  using Handler = std::function<Reply(const Request&)>;

  explicit LocalHttpServer(Handler handler);
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;
  LocalHttpServer(LocalHttpServer&&) = delete;
  LocalHttpServer& operator=(LocalHttpServer&&) = delete;
  ~LocalHttpServer();

  // A handler that gives every request the same reply.
  [[nodiscard]] static Handler always(Reply reply);

  [[nodiscard]] std::uint16_t port() const { return boundPort; }
  // "http://127.0.0.1:<port>" followed by path.
  [[nodiscard]] std::string url(std::string_view path) const;

  [[nodiscard]] std::vector<Request> requests() const;
  // Waits until at least count requests have arrived, or the deadline passes.
  [[nodiscard]] bool waitForRequests(std::size_t count, std::chrono::milliseconds deadline) const;
  // Sends the replies held so far.
  void releaseHeld();

private:
  struct State;
  std::unique_ptr<State> state;  // the Asio side, kept out of this header
  std::uint16_t boundPort = 0;
  std::thread thread;
};

}  // namespace quillfern::testing
