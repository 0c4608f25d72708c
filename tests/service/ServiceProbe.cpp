// The game site behind a proxy, for bridge-service.sh: the proxy accepts CONNECT and then speaks
// TLS as the site itself, with the certificate that the script made (FOLDER/site.pem), and
// answers each request with the allowlist ["127.0.0.1:1863"]. It writes its port to FOLDER/port
// and serves one connection at a time until it is killed.
//
//   service_probe FOLDER

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

namespace asio = boost::asio;

// Blocking: the bridge's client gives up after 8 seconds, which ends every read here.
void serve(asio::ip::tcp::socket& socket, asio::ssl::context& tls) {
  const std::string body = R"(["127.0.0.1:1863"])";
  std::string head;
  asio::read_until(socket, asio::dynamic_buffer(head), "\r\n\r\n");
  asio::write(socket, asio::buffer(std::string("HTTP/1.1 200 Connection established\r\n\r\n")));
  asio::ssl::stream<asio::ip::tcp::socket&> site(socket, tls);
  site.handshake(asio::ssl::stream_base::server);
  std::string request;
  asio::read_until(site, asio::dynamic_buffer(request), "\r\n\r\n");
  asio::write(site,
              asio::buffer("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                           "Content-Length: "
                           + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body));
  boost::system::error_code ignored;
  site.shutdown(ignored);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: service_probe FOLDER\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  asio::io_context io;
  asio::ssl::context tls(asio::ssl::context::tls_server);
  tls.use_certificate_chain_file((folder / "site.pem").string());
  tls.use_private_key_file((folder / "site.pem").string(), asio::ssl::context::pem);
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  std::ofstream(folder / "port.tmp") << acceptor.local_endpoint().port() << "\n";
  std::filesystem::rename(folder / "port.tmp", folder / "port");
  while (true) {
    asio::ip::tcp::socket socket(io);
    acceptor.accept(socket);
    try {
      serve(socket, tls);
    } catch (const std::exception& e) {
      std::cerr << "service_probe: the site's proxy failed: " << e.what() << "\n";
    }
  }
}
