// A WebSocket client of the bridge for tests that hold many connections at once: every step is
// asynchronous on the test's loop, so a thousand clients need no thousand threads. It upgrades,
// sends a script of masked frames, checks every byte that comes back against the script, and
// closes with a close frame. Made with std::make_shared: its handlers keep it alive.
#pragma once

#include "support/Loopback.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::testing {

// What one client sends once upgraded and what it must get back, towards an echo server.
struct ClientScript {
  std::string frames;               // masked client frames, back to back
  std::string echo;                 // the message bytes they carry, in order
  std::optional<std::string> pong;  // the payload of the one ping among the frames, if any
  std::size_t rounds = 1;           // times the frames go out; one for a script with a ping
};

class StagedClient : public std::enable_shared_from_this<StagedClient> {
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

  StagedClient(Loop& loop, std::string_view path, ClientScript clientScript);

  // Each step starts from the stage before it: idle, upgraded, relayed.
  void open(std::uint16_t bridgePort);
  void relay();
  void finish();

  [[nodiscard]] Stage stage() const { return current; }
  [[nodiscard]] const std::string& reason() const { return why; }  // why it ended or failed
  [[nodiscard]] bool echoedAll() const { return echoed == script.echo.size() * script.rounds; }
  [[nodiscard]] std::size_t scriptBytes() const { return script.echo.size() * script.rounds; }

private:
  const std::string request;
  const ClientScript script;
  Stage current = Stage::idle;
  std::string why;
  std::size_t echoed = 0;  // message bytes that came back, all matching the script
  bool ponged = false;
  bool closeEchoed = false;
  std::deque<std::string_view> outbox;  // views of the members above; the front is being written
  std::string inbox;                    // read, not yet taken
  std::unique_ptr<char[]> chunk = std::make_unique<char[]>(16384);
  asio::ip::tcp::socket socket;  // last: closed before the buffers above go

  void send(std::string_view bytes);
  void writeNext();
  void receive();
  void onReceived(const boost::system::error_code& error, std::size_t count);
  void takeHead();
  void takeFrames();
  [[nodiscard]] bool takeEcho(std::string_view payload);
  void checkRelayed();
  void end(std::string because, Stage stage = Stage::ended);
  [[nodiscard]] bool isFinal() const { return current >= Stage::closed; }
};

using StagedClients = std::vector<std::shared_ptr<StagedClient>>;

// Opens every client and runs the loop until all are upgraded; true when all are in time.
[[nodiscard]] bool openAll(Loop& loop, const StagedClients& clients, std::uint16_t bridgePort,
                           std::chrono::steady_clock::duration deadline = testDeadline);
// Runs the loop until every client has reached `stage` or gone past it; true when all stand
// at it in time.
[[nodiscard]] bool runAllTo(Loop& loop, const StagedClients& clients, StagedClient::Stage stage,
                            std::chrono::steady_clock::duration deadline = testDeadline);
// How many clients are at each stage, and why the first few ended or failed.
[[nodiscard]] std::string describe(const StagedClients& clients);

}  // namespace quillfern::testing
