#include "support/StagedClient.hpp"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <map>

namespace quillfern::testing {

using boost::system::error_code;

namespace {

// The status 1000 and a reason, which the bridge echoes unchanged.
const std::string closePayload = bytes({0x03, 0xE8}) + "done";
const std::string closingFrame = ws::clientFrame(0x88, closePayload);

// A head longer than this without its end is not the 101.
constexpr std::size_t longestHead = 4096;

}  // namespace

StagedClient::StagedClient(Loop& loop, std::string_view path, ClientScript clientScript)
    : request(upgradeRequest(path)), script(std::move(clientScript)), socket(loop.context()) {}

void StagedClient::open(std::uint16_t bridgePort) {
  current = Stage::connecting;
  socket.async_connect({asio::ip::address_v4::loopback(), bridgePort},
                       [self = shared_from_this()](const error_code& error) {
                         if (error) {
                           self->end("connect: " + error.message());
                           return;
                         }
                         self->current = Stage::upgrading;
                         self->send(self->request);
                         self->receive();
                       });
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
    send(frames.substr(0, frames.size() / 2));
    send(frames.substr(frames.size() / 2));
  }
  checkRelayed();
}

void StagedClient::finish() {
  if (current != Stage::relayed) {
    return;
  }
  current = Stage::closing;
  send(closingFrame);
}

void StagedClient::send(std::string_view bytes) {
  outbox.push_back(bytes);
  if (outbox.size() == 1) {
    writeNext();
  }
}

void StagedClient::writeNext() {
  asio::async_write(socket, asio::buffer(outbox.front()),
                    [self = shared_from_this()](const error_code& error, std::size_t) {
                      if (error) {
                        self->end("write: " + error.message());
                        return;
                      }
                      self->outbox.pop_front();
                      if (!self->outbox.empty()) {
                        self->writeNext();
                      }
                    });
}

void StagedClient::receive() {
  socket.async_read_some(asio::buffer(chunk.get(), 16384),
                         [self = shared_from_this()](const error_code& error, std::size_t count) {
                           self->onReceived(error, count);
                         });
}

void StagedClient::onReceived(const error_code& error, std::size_t count) {
  if (isFinal()) {
    return;
  }
  inbox.append(chunk.get(), count);
  if (current == Stage::upgrading) {
    takeHead();
  }
  if (current != Stage::upgrading && !isFinal()) {
    takeFrames();
  }
  if (isFinal()) {
    return;
  }
  if (!error) {
    receive();
  } else if (error == asio::error::eof && closeEchoed && inbox.empty()) {
    current = Stage::closed;
  } else {
    end("read: " + error.message());
  }
}

void StagedClient::takeHead() {
  const std::size_t headEnd = inbox.find("\r\n\r\n");
  if (headEnd == std::string::npos) {
    if (inbox.size() > longestHead) {
      end("no end of the head in " + inbox.substr(0, 80), Stage::failed);
    }
    return;
  }
  const std::string head = inbox.substr(0, headEnd + 4);
  inbox.erase(0, headEnd + 4);
  if (head != switchingProtocols()) {
    end("unexpected response: " + head, Stage::failed);
    return;
  }
  current = Stage::upgraded;
}

void StagedClient::takeFrames() {
  while (auto frame = ws::takeServerFrame(inbox)) {
    const bool expected = current == Stage::relaying || current == Stage::closing;
    if (expected && frame->first == 0x82 && takeEcho(frame->payload)) {
      continue;
    }
    if (expected && frame->first == 0x8A && !ponged && frame->payload == script.pong) {
      ponged = true;
    } else if (current == Stage::closing && frame->first == 0x88 && !closeEchoed
               && frame->payload == closePayload) {
      closeEchoed = true;
    } else {
      end("unexpected frame " + std::to_string(frame->first) + " of "
              + std::to_string(frame->payload.size()) + " bytes after " + std::to_string(echoed)
              + " echoed bytes",
          Stage::failed);
      return;
    }
  }
  checkRelayed();
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

void StagedClient::checkRelayed() {
  if (current == Stage::relaying && echoedAll() && ponged == script.pong.has_value()) {
    current = Stage::relayed;
  }
}

void StagedClient::end(std::string because, Stage stage) {
  if (isFinal()) {
    return;
  }
  current = stage;
  why = std::move(because);
  error_code ignored;
  socket.close(ignored);
}

bool runAllTo(Loop& loop, const StagedClients& clients, StagedClient::Stage stage,
              std::chrono::steady_clock::duration deadline) {
  const auto reached = [&](auto matches) {
    return std::all_of(clients.begin(), clients.end(),
                       [&](const auto& client) { return matches(client->stage()); });
  };
  return loop.runUntil([&] { return reached([&](auto at) { return at >= stage; }); }, deadline)
         && reached([&](auto at) { return at == stage; });
}

bool openAll(Loop& loop, const StagedClients& clients, std::uint16_t bridgePort,
             std::chrono::steady_clock::duration deadline) {
  for (const auto& client : clients) {
    client->open(bridgePort);
  }
  return runAllTo(loop, clients, StagedClient::Stage::upgraded, deadline);
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
