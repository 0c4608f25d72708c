#include "support/StagedClient.hpp"

#include <algorithm>

namespace quillfern::testing {

namespace {

// The status 1000 and a reason, which the bridge echoes unchanged.
const std::string closePayload = bytes({0x03, 0xE8}) + "done";
const std::string closingFrame = ws::clientFrame(0x88, closePayload);
const std::string upgradeAnswer = switchingProtocols();

}  // namespace

StagedClient::StagedClient(Loop& loop, std::uint16_t bridgePort, std::string_view path,
                           ClientScript clientScript)
    : script(std::move(clientScript)), peer(loop, bridgePort) {
  peer.keepReading([this](std::string& received) { take(received); });
  peer.send(upgradeRequest(path));
}

void StagedClient::relay() {
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

void StagedClient::finish() {
  if (current == Stage::relayed) {
    current = Stage::closing;
    peer.post(closingFrame);
  }
}

void StagedClient::take(std::string& received) {
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

bool StagedClient::takeFrame(const ws::Frame& frame) {
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

void StagedClient::end(Stage stage, std::string because) {
  if (current < Stage::closed) {
    current = stage;
    why = std::move(because);
    peer.close();
  }
}

bool runAllTo(Loop& loop, const StagedClients& clients, StagedClient::Stage stage,
              std::chrono::steady_clock::duration deadline) {
  const auto all = [&](auto matches) {
    return std::all_of(clients.begin(), clients.end(),
                       [&](const auto& client) { return matches(client->stage()); });
  };
  return loop.runUntil([&] { return all([&](auto at) { return at >= stage; }); }, deadline)
         && all([&](auto at) { return at == stage; });
}

std::string describe(const StagedClients& clients) {
  std::vector<std::size_t> byStage(static_cast<std::size_t>(StagedClient::Stage::failed) + 1);
  std::string reasons;
  for (const auto& client : clients) {
    ++byStage[static_cast<std::size_t>(client->stage())];
    if (!client->reason().empty() && reasons.size() < 1000) {
      reasons += "\n  " + client->reason();
    }
  }
  std::string text = "clients by stage:";
  for (const std::size_t count : byStage) {
    text += " " + std::to_string(count);
  }
  return text + reasons;
}

}  // namespace quillfern::testing
