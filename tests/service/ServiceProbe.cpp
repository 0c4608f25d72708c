// What a bridge running as a confined service needs from the world, for bridge-service.sh: a game
// server (an echo server) and the game site behind a proxy (the proxy accepts CONNECT and then
// speaks TLS as the site itself, with the certificate that the script made). It writes the two
// ports to FOLDER/ports, then waits until the bridge on 127.0.0.1:9882 has written the allowlist it
// fetched to SETTINGS, and relays one message through the bridge to the echo server. Exits 0 when
// both happen in time.
//
//   service_probe FOLDER SETTINGS

#include "support/Loopback.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace testing = quillfern::testing;
namespace ws = testing::ws;
using testing::Loop;
using testing::Peer;

constexpr std::uint16_t bridgePort = 9882;
constexpr std::chrono::seconds startDeadline{20};

// The game site behind its proxy, on a thread of its own: every connection is one CONNECT and
// one HTTPS request for the allowlist, answered with `document`.
class SiteProxy {
public:
  SiteProxy(const std::filesystem::path& certificate, std::string document)
      : body(std::move(document)),
        tls(asio::ssl::context::tls_server),
        acceptor(io, {asio::ip::address_v4::loopback(), 0}) {
    tls.use_certificate_chain_file(certificate.string());
    tls.use_private_key_file(certificate.string(), asio::ssl::context::pem);
    acceptNext();
    thread = std::thread([this] { io.run(); });
  }
  SiteProxy(const SiteProxy&) = delete;
  SiteProxy& operator=(const SiteProxy&) = delete;
  SiteProxy(SiteProxy&&) = delete;
  SiteProxy& operator=(SiteProxy&&) = delete;
  ~SiteProxy() {
    io.stop();
    thread.join();
  }

  [[nodiscard]] std::uint16_t port() const { return acceptor.local_endpoint().port(); }

private:
  const std::string body;
  asio::io_context io;
  asio::ssl::context tls;
  asio::ip::tcp::acceptor acceptor;
  std::thread thread;  // last: started once everything above exists

  void acceptNext() {
    acceptor.async_accept([this](const boost::system::error_code& error, asio::ip::tcp::socket s) {
      if (!error) {
        serve(std::move(s));
        acceptNext();
      }
    });
  }

  // Blocking, on the proxy's thread: the bridge's client gives up after 8 seconds, which ends
  // every read here.
  void serve(asio::ip::tcp::socket socket) {
    try {
      std::string head;
      asio::read_until(socket, asio::dynamic_buffer(head), "\r\n\r\n");
      asio::write(socket, asio::buffer(std::string("HTTP/1.1 200 Connection established\r\n\r\n")));
      asio::ssl::stream<asio::ip::tcp::socket&> site(socket, tls);
      site.handshake(asio::ssl::stream_base::server);
      std::string request;
      asio::read_until(site, asio::dynamic_buffer(request), "\r\n\r\n");
      asio::write(site, asio::buffer("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                     "Content-Length: "
                                     + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n"
                                     + body));
      boost::system::error_code ignored;
      site.shutdown(ignored);
    } catch (const std::exception& e) {
      std::cerr << "service_probe: the site's proxy failed: " << e.what() << "\n";
    }
  }
};

bool relays(Loop& loop, std::uint16_t echoPort) {
  Peer client(loop, bridgePort);
  client.send(testing::upgradeRequest(testing::targetPath(echoPort)));
  if (client.readHead() != testing::switchingProtocols()) {
    return false;
  }
  const std::string message = testing::patternedBytes(3000, 7);
  client.send(ws::clientFrame(0x82, message));
  std::string echoed;
  while (echoed.size() < message.size()) {
    echoed += client.readFrame().payload;  // one frame per chunk the server sent
  }
  return echoed == message;
}

bool check(bool passed, std::string_view what) {
  std::cout << (passed ? "ok: " : "FAIL: ") << what << "\n";
  return passed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: service_probe FOLDER SETTINGS\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const std::filesystem::path settings = argv[2];
  try {
    const testing::EchoServer echo;
    const std::string entry = testing::targetKey(echo.port());
    const SiteProxy site(folder / "site.pem", "[\"" + entry + "\"]");
    std::ofstream(folder / "ports.tmp") << site.port() << " " << echo.port() << "\n";
    std::filesystem::rename(folder / "ports.tmp", folder / "ports");

    Loop loop;
    const bool stored = loop.runUntil(
        [&] {
          std::ostringstream contents;
          contents << std::ifstream(settings).rdbuf();
          return contents.str().find("\"" + entry + "\"") != std::string::npos;
        },
        startDeadline);
    return check(stored, "the fetched allowlist is in " + settings.string())
                   && check(relays(loop, echo.port()), "a message relayed to " + entry)
               ? 0
               : 1;
  } catch (const std::exception& e) {
    std::cout << "FAIL: " << e.what() << "\n";
    return 1;
  }
}
