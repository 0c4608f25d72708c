// The three TCP servers the relays are measured against, each listening on 127.0.0.1 on a port
// the system picks: a sink that discards what it reads, a source that writes as fast as the
// connection takes, and an echo. Owned by main; runs on the context main hands it, which may be
// run by several threads (each connection's work is one chain of operations, so no strand).
#pragma once

#include "load/Asio.hpp"

#include <cstdint>

namespace quillfern::bench {

class LocalServers {
public:
  explicit LocalServers(asio::io_context& context);
  LocalServers(const LocalServers&) = delete;
  LocalServers& operator=(const LocalServers&) = delete;
  LocalServers(LocalServers&&) = delete;
  LocalServers& operator=(LocalServers&&) = delete;
  ~LocalServers() = default;

  [[nodiscard]] std::uint16_t sinkPort() const { return sink.local_endpoint().port(); }
  [[nodiscard]] std::uint16_t sourcePort() const { return source.local_endpoint().port(); }
  [[nodiscard]] std::uint16_t echoPort() const { return echo.local_endpoint().port(); }

private:
  asio::ip::tcp::acceptor sink;
  asio::ip::tcp::acceptor source;
  asio::ip::tcp::acceptor echo;
};

}  // namespace quillfern::bench
