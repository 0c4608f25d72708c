// A WebSocket client of the bridge for tests that hold many connections at once: a peer on the
// test's loop that upgrades, sends a script of masked frames, checks every byte that comes back
// against the script, and closes with a close frame, each step while the loop runs.
#pragma once

#include "support/Loopback.hpp"

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

class StagedClient {
public:
  // In the order a client passes them; the last three are final.
  enum class Stage { upgrading, upgraded, relaying, relayed, closing, closed, ended, failed };

  // Connects to the bridge at once and sends the upgrade request for path.
  StagedClient(Loop& loop, std::uint16_t bridgePort, std::string_view path, ClientScript script);

  void relay();   // from upgraded: sends the script
  void finish();  // from relayed: sends a close frame

  [[nodiscard]] Stage stage() const { return current; }
  [[nodiscard]] const std::string& reason() const { return why; }  // why it ended or failed
  [[nodiscard]] std::size_t scriptBytes() const { return script.echo.size() * script.rounds; }
  [[nodiscard]] bool echoedAll() const { return echoed == scriptBytes(); }

private:
  const ClientScript script;
  Stage current = Stage::upgrading;
  std::string why;
  std::size_t echoed = 0;  // message bytes that came back, all matching the script
  bool ponged = false;
  bool closeEchoed = false;
  Peer peer;  // last: its handlers see everything above

  void take(std::string& received);
  [[nodiscard]] bool takeFrame(const ws::Frame& frame);
  void end(Stage stage, std::string because);
};

using StagedClients = std::vector<std::unique_ptr<StagedClient>>;

// Runs the loop until every client has reached `stage` or gone past it; true when all stand
// at it in time.
[[nodiscard]] bool runAllTo(Loop& loop, const StagedClients& clients, StagedClient::Stage stage,
                            std::chrono::steady_clock::duration deadline = testDeadline);
// How many clients are at each stage, and why the first few ended or failed.
[[nodiscard]] std::string describe(const StagedClients& clients);

}  // namespace quillfern::testing
