#include "support/StagedClient.hpp"

#include <algorithm>
#include <map>

namespace quillfern::testing {

namespace {

// The status 1000 and a reason, which the bridge echoes unchanged.
const std::string closePayload = bytes({0x03, 0xE8}) + "done";
const std::string closingFrame = ws::clientFrame(0x88, closePayload);

}  // namespace

StagedClient::StagedClient(Loop& loop, std::uint16_t bridgePort, std::string_view path,
                           ClientScript clientScript)
    : request(upgradeRequest(path)), script(std::move(clientScript)), peer(loop, bridgePort) {
  peer.keepReading([this](std::string& received) { take(received); });
  peer.post(request);
}

void StagedClient::relay() {
  if (current != Stage::upgraded) {
    return;
  }
  current = Stage::relaying;
  // Two writes a round cut through the middle of a frame, so that the bridge may get it in
  // two reads.
  const std::string_view frames = script.frames;
  for (std::size_t round = 0; round < script.rounds; ++round) {
    peer.post(frames.substr(0, frames.size() / 2));
    peer.post(frames.substr(frames.size() / 2));
  }
}

void StagedClient::finish() {
  if (current == Stage::relayed) {
    current = Stage::closing;
    peer.post(closingFrame);
  }
}

void StagedClient::take(std::string& received) {
  if (current == Stage::upgrading) {
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
      if (peer.ended()) {
        end(Stage::ended, "no 101 before the end");
      }
      return;
    }
    const std::string head = received.substr(0, headEnd + 4);
    received.erase(0, headEnd + 4);
    if (head != switchingProtocols()) {
      end(Stage::failed, "unexpected response: " + head);
      return;
    }
    current = Stage::upgraded;
  }
  while (auto frame = ws::takeServerFrame(received)) {
    if (!takeFrame(*frame)) {
      end(Stage::failed, "unexpected frame " + std::to_string(frame->first) + " of "
                             + std::to_string(frame->payload.size()) + " bytes after "
                             + std::to_string(echoed) + " echoed bytes");
      return;
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
  if (expected && frame.first == 0x82) {
    return takeEcho(frame.payload);
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

bool StagedClient::takeEcho(std::string_view payload) {
  if (echoed + payload.size() > scriptBytes()) {
    return false;
  }
  // A frame may span the end of one round and the start of the next.
  for (std::size_t at = 0; at < payload.size();) {
    const std::size_t offset = (echoed + at) % script.echo.size();
    const std::size_t length = std::min(payload.size() - at, script.echo.size() - offset);
    if (script.echo.compare(offset, length, payload.substr(at, length)) != 0) {
      return false;
    }
    at += length;
  }
  echoed += payload.size();
  return true;
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
  std::map<int, std::size_t> byStage;
  std::string reasons;
  for (const auto& client : clients) {
    ++byStage[static_cast<int>(client->stage())];
    if (!client->reason().empty() && reasons.size() < 1000) {
      reasons += "\n  " + client->reason();
    }
  }
  std::string text = "clients by stage:";
  for (const auto& [stage, count] : byStage) {
    text += " " + std::to_string(stage) + ":" + std::to_string(count);
  }
  return text + reasons;
}

}  // namespace quillfern::testing
