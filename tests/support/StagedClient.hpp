// A WebSocket client of the bridge for tests that hold many connections at once: a peer on the
// test's loop that upgrades, sends a script of masked frames, checks every byte that comes back
// against the script, and closes with a close frame, each step while the loop runs.
#pragma once

#include "support/Loopback.hpp"

#include <algorithm>
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
  StagedClient(Loop& loop, std::uint16_t bridgePort, std::string_view path,
               ClientScript clientScript)
      : script(std::move(clientScript)), peer(loop, bridgePort) {
    peer.keepReading([this](std::string& received) { take(received); });
    peer.send(upgradeRequest(path));
  }

  void relay() {  // from upgraded: sends the script
    if (current == Stage::upgraded) {
      current = Stage::relaying;
      // Two writes a round cut a frame in two, so that the bridge may get it in two reads.
      const std::string_view frames = script.frames;
      for (std::size_t round = 0; round < script.rounds; ++round) {
        peer.post(frames.substr(0, frames.size() / 2));
        peer.post(frames.substr(frames.size() / 2));
      }
    }
  }
  void finish() {  // from relayed: sends a close frame
    if (current == Stage::relayed) {
      current = Stage::closing;
      peer.post(closingFrame);
    }
  }

  [[nodiscard]] Stage stage() const { return current; }
  [[nodiscard]] const std::string& reason() const { return why; }  // why it ended or failed
  [[nodiscard]] std::size_t scriptBytes() const { return script.echo.size() * script.rounds; }
  [[nodiscard]] bool echoedAll() const { return echoed == scriptBytes(); }

private:
  // The status 1000 and a reason, which the bridge echoes unchanged.
  inline static const std::string closePayload = bytes({0x03, 0xE8}) + "done";
  inline static const std::string closingFrame = ws::clientFrame(0x88, closePayload);
  inline static const std::string upgradeAnswer = switchingProtocols();
  const ClientScript script;
  Stage current = Stage::upgrading;
  std::string why;
  std::size_t echoed = 0;  // message bytes that came back, all matching the script
  bool ponged = false;
  bool closeEchoed = false;
  Peer peer;  // last: its handlers see everything above

  void take(std::string& received) {
    if (current == Stage::upgrading && received.size() >= upgradeAnswer.size()) {
      if (!received.starts_with(upgradeAnswer)) {
        return end(Stage::failed, "unexpected response: " + received.substr(0, 200));
      }
      received.erase(0, upgradeAnswer.size());
      current = Stage::upgraded;
    }
    while (current != Stage::upgrading) {
      const auto frame = ws::takeServerFrame(received);
      if (!frame) {
        break;
      }
      if (!takeFrame(*frame)) {
        return end(Stage::failed, "unexpected frame " + std::to_string(frame->first) + " of "
                                      + std::to_string(frame->payload.size()) + " bytes after "
                                      + std::to_string(echoed) + " echoed bytes");
      }
    }
    if (current == Stage::relaying && echoedAll() && ponged == script.pong.has_value()) {
      current = Stage::relayed;
    }
    if (peer.ended()) {
      const bool clean = current == Stage::closing && closeEchoed && received.empty();
      end(clean ? Stage::closed : Stage::ended, "the connection ended");
    }
  }
  [[nodiscard]] bool takeFrame(const ws::Frame& frame) {
    const bool expected = current == Stage::relaying || current == Stage::closing;
    if (expected && frame.first == 0x82 && echoed + frame.payload.size() <= scriptBytes()) {
      // A frame may span the end of one round and the start of the next.
      for (const char c : frame.payload) {
        if (c != script.echo[echoed++ % script.echo.size()]) {
          return false;
        }
      }
      return true;
    }
    if (expected && frame.first == 0x8A && !ponged && frame.payload == script.pong) {
      return ponged = true;
    }
    if (current == Stage::closing && frame.first == 0x88 && !closeEchoed
        && frame.payload == closePayload) {
      return closeEchoed = true;
    }
    return false;
  }
  void end(Stage stage, std::string because) {
    if (current < Stage::closed) {
      current = stage;
      why = std::move(because);
      peer.close();
    }
  }
};

using StagedClients = std::vector<std::unique_ptr<StagedClient>>;

// Runs the loop until every client has reached `stage` or gone past it; true when all stand
// at it in time.
[[nodiscard]] inline bool runAllTo(Loop& loop, const StagedClients& clients,
                                   StagedClient::Stage stage,
                                   std::chrono::steady_clock::duration deadline = testDeadline) {
  const auto all = [&](auto matches) {
    return std::all_of(clients.begin(), clients.end(),
                       [&](const auto& client) { return matches(client->stage()); });
  };
  return loop.runUntil([&] { return all([&](auto at) { return at >= stage; }); }, deadline)
         && all([&](auto at) { return at == stage; });
}

// Each client's stage as a digit, and why the first few ended or failed.
[[nodiscard]] inline std::string describe(const StagedClients& clients) {
  std::string stages = "clients' stages: ";
  std::string reasons;
  for (const auto& client : clients) {
    stages += static_cast<char>('0' + static_cast<int>(client->stage()));
    if (!client->reason().empty() && reasons.size() < 1000) {
      reasons += "\n  " + client->reason();
    }
  }
  return stages + reasons;
}

}  // namespace quillfern::testing
