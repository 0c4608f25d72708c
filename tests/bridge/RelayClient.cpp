#include "RelayClient.hpp"

#include "BridgeHarness.hpp"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <map>

namespace quillfern::testing {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// The status 1000 and a reason, which the bridge echoes unchanged.
const std::string closePayload = bytes({0x03, 0xE8}) + "done";

// A head longer than this without its end is not the 101.
constexpr std::size_t longestHead = 4096;

}  // namespace

RelayClient::RelayClient(asio::io_context& io, std::string_view path, ClientScript clientScript)
    : request(upgradeRequest(path)), script(std::move(clientScript)), socket(io) {}

void RelayClient::open(std::uint16_t bridgePort) {
  current = Stage::connecting;
  socket.async_connect({asio::ip::address_v4::loopback(), bridgePort},
                       [this](const error_code& error) {
                         if (error) {
                           end("connect: " + error.message());
                           return;
                         }
                         current = Stage::upgrading;
                         send(request);
                         receive();
                       });
}

void RelayClient::relay() {
  if (current != Stage::upgraded) {
    return;
  }
  current = Stage::relaying;
  // Two writes cut through the middle of a frame, so that the bridge may get it in two reads.
  const std::size_t half = script.frames.size() / 2;
  send(script.frames.substr(0, half));
  send(script.frames.substr(half));
  checkRelayed();
}

void RelayClient::finish() {
  if (current != Stage::relayed) {
    return;
  }
  current = Stage::closing;
  send(maskedFrame(0x88, closePayload));
}

void RelayClient::send(std::string bytes) {
  outbox.push_back(std::move(bytes));
  if (outbox.size() == 1) {
    writeNext();
  }
}

void RelayClient::writeNext() {
  asio::async_write(socket, asio::buffer(outbox.front()),
                    [this](const error_code& error, std::size_t /*written*/) {
                      if (error) {
                        end("write: " + error.message());
                        return;
                      }
                      outbox.pop_front();
                      if (!outbox.empty()) {
                        writeNext();
                      }
                    });
}

void RelayClient::receive() {
  socket.async_read_some(asio::buffer(chunk), [this](const error_code& error, std::size_t count) {
    onReceived(error, count);
  });
}

void RelayClient::onReceived(const error_code& error, std::size_t count) {
  if (isFinal()) {
    return;
  }
  inbox.append(chunk.data(), count);
  takeInbox();
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

void RelayClient::takeInbox() {
  if (current == Stage::upgrading) {
    takeHead();
  }
  if (current != Stage::upgrading && !isFinal()) {
    takeFrames();
  }
}

void RelayClient::takeHead() {
  const std::size_t end = inbox.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (inbox.size() > longestHead) {
      fail("no end of the head in " + inbox.substr(0, 80));
    }
    return;
  }
  const std::string head = inbox.substr(0, end + 4);
  inbox.erase(0, end + 4);
  if (head != switchingProtocols()) {
    fail("unexpected response: " + head);
    return;
  }
  current = Stage::upgraded;
}

void RelayClient::takeFrames() {
  while (auto frame = takeFrame(inbox)) {
    const bool expected = current == Stage::relaying || current == Stage::closing;
    if (expected && frame->first == 0x82
        && script.echo.compare(echoedBytes, frame->payload.size(), frame->payload) == 0) {
      echoedBytes += frame->payload.size();
    } else if (expected && frame->first == 0x8A && !ponged && frame->payload == script.pong) {
      ponged = true;
    } else if (current == Stage::closing && frame->first == 0x88 && !closeEchoed
               && frame->payload == closePayload) {
      closeEchoed = true;
    } else {
      fail("unexpected frame " + std::to_string(frame->first) + " of "
           + std::to_string(frame->payload.size()) + " bytes after " + std::to_string(echoedBytes)
           + " echoed bytes");
      return;
    }
  }
  checkRelayed();
}

void RelayClient::checkRelayed() {
  if (current == Stage::relaying && echoedBytes == script.echo.size()
      && ponged == script.pong.has_value()) {
    current = Stage::relayed;
  }
}

void RelayClient::end(std::string_view because) {
  if (isFinal()) {
    return;
  }
  current = Stage::ended;
  why = because;
  error_code ignored;
  socket.close(ignored);
}

void RelayClient::fail(std::string because) {
  current = Stage::failed;
  why = std::move(because);
  error_code ignored;
  socket.close(ignored);
}

bool RelayClient::isFinal() const {
  return current == Stage::closed || current == Stage::ended || current == Stage::failed;
}

bool runAllTo(asio::io_context& io, const RelayClients& clients, RelayClient::Stage stage,
              std::chrono::steady_clock::duration deadline) {
  const auto allReached = [&] {
    return std::all_of(clients.begin(), clients.end(),
                       [stage](const auto& client) { return client->stage() >= stage; });
  };
  return runUntil(io, allReached, deadline)
         && std::all_of(clients.begin(), clients.end(),
                        [stage](const auto& client) { return client->stage() == stage; });
}

bool openAll(asio::io_context& io, const RelayClients& clients, std::uint16_t bridgePort,
             std::chrono::steady_clock::duration deadline) {
  for (const auto& client : clients) {
    client->open(bridgePort);
  }
  return runAllTo(io, clients, RelayClient::Stage::upgraded, deadline);
}

void relayAll(const RelayClients& clients) {
  for (const auto& client : clients) {
    client->relay();
  }
}

void finishAll(const RelayClients& clients) {
  for (const auto& client : clients) {
    client->finish();
  }
}

std::string describe(const RelayClients& clients) {
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
