// A WebSocket client of the bridge for tests that hold many connections at once: every step is
// asynchronous on an io_context that the test runs on one thread of its own choosing, so a
// thousand clients need no thousand threads. It upgrades, sends a script of masked frames,
// checks every byte that comes back against the script, and closes with a close frame.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillfern::testing {

// What one client sends once upgraded and what it must get back, towards an echo server.
struct ClientScript {
  std::string frames;               // masked client frames, back to back
  std::string echo;                 // the message bytes they carry, in order
  std::optional<std::string> pong;  // the payload of the one ping among the frames, if any
};

class RelayClient {
public:
  // Stages, in the order a client passes them; the last three are final.
  enum class Stage {
    idle,
    connecting,
    upgrading,  // the request is out, the 101 not yet in
    upgraded,
    relaying,  // the script is going out and its echo coming back
    relayed,   // every byte and the pong came back as expected
    closing,   // the close frame is out
    closed,    // its echo came back and then the end of the stream
    ended,     // the connection ended before the client was done
    failed,    // a byte that came back differs from the script
  };

  RelayClient(boost::asio::io_context& io, std::string_view path, ClientScript clientScript);
  RelayClient(const RelayClient&) = delete;
  RelayClient& operator=(const RelayClient&) = delete;
  RelayClient(RelayClient&&) = delete;
  RelayClient& operator=(RelayClient&&) = delete;
  ~RelayClient() = default;

  // Each step starts from the stage before it: idle, upgraded, relayed.
  void open(std::uint16_t bridgePort);
  void relay();
  void finish();

  [[nodiscard]] Stage stage() const { return current; }
  // Why the client ended or failed.
  [[nodiscard]] const std::string& reason() const { return why; }
  // Message bytes that came back so far, all matching the script.
  [[nodiscard]] std::size_t echoed() const { return echoedBytes; }
  [[nodiscard]] std::size_t scriptBytes() const { return script.echo.size(); }

private:
  const std::string request;
  const ClientScript script;
  Stage current = Stage::idle;
  std::string why;
  std::size_t echoedBytes = 0;
  bool ponged = false;
  bool closeEchoed = false;
  std::deque<std::string> outbox;  // the front one is being written
  std::string inbox;               // read, not yet taken
  std::array<char, 16384> chunk{};
  boost::asio::ip::tcp::socket socket;  // last: closed before the buffers above go

  void send(std::string bytes);
  void writeNext();
  void receive();
  void onReceived(const boost::system::error_code& error, std::size_t count);
  void takeInbox();
  void takeHead();
  void takeFrames();
  void checkRelayed();
  void end(std::string_view because);
  void fail(std::string because);
  [[nodiscard]] bool isFinal() const;
};

using RelayClients = std::vector<std::unique_ptr<RelayClient>>;

// Runs io on this thread until every client has reached `stage` or gone past it; true when all
// stand at it in time.
[[nodiscard]] bool runAllTo(boost::asio::io_context& io, const RelayClients& clients,
                            RelayClient::Stage stage, std::chrono::steady_clock::duration deadline);
// Opens every client and runs them to `upgraded`.
[[nodiscard]] bool openAll(boost::asio::io_context& io, const RelayClients& clients,
                           std::uint16_t bridgePort, std::chrono::steady_clock::duration deadline);
// relay() and finish() on every client.
void relayAll(const RelayClients& clients);
void finishAll(const RelayClients& clients);
// How many clients are at each stage, and why the first few ended or failed.
[[nodiscard]] std::string describe(const RelayClients& clients);

// Runs io on this thread until done() holds; false when the deadline passes first.
template <class Predicate>
[[nodiscard]] bool runUntil(boost::asio::io_context& io, Predicate done,
                            std::chrono::steady_clock::duration deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    io.restart();
    if (io.run_for(std::chrono::milliseconds(10)) == 0 && io.stopped()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // nothing to run: wait
    }
  }
  return true;
}

}  // namespace quillfern::testing
