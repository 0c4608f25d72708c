#include "app/HeadlessRun.hpp"

#include "bridge/LoopbackBridge.hpp"
#include "bridge/ServerProcess.hpp"
#include "log/Log.hpp"
#include "platform/CurlHttpClient.hpp"
#include "platform/JsonFileStore.hpp"
#include "policy/HostAllowlist.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>

namespace quillfern {

int runHeadless(const HeadlessOptions& options, std::ostream& errors) {
  // The handlers are installed before anything starts, so an early Ctrl+C still stops cleanly.
  // SIGHUP (the terminal or the session went away) stops the bridge as SIGTERM does.
  asio::io_context signals;
  asio::signal_set stopSignals(signals, SIGINT, SIGTERM, SIGHUP);
  stopSignals.async_wait([](const boost::system::error_code&, int) {});
  prepareServerProcess();

  std::shared_ptr<DefaultsStore> store = options.store;
  if (!store) {
    store = std::make_shared<JsonFileStore>(JsonFileStore::defaultPath());
  }
  std::shared_ptr<HttpClient> http = options.http;
  if (!http) {
    http = std::make_shared<CurlHttpClient>();
  }
  const auto allowlist = std::make_shared<HostAllowlist>(store, http);
  const std::uint16_t listenPort = options.listenPort.value_or(LoopbackBridge::port);
  LoopbackBridge bridge(allowlist, listenPort);
  try {
    bridge.start();
  } catch (const boost::system::system_error& e) {
    const std::string reason = e.code().message();
    log(LogTag::app, "本地桥启动失败：" + reason);
    errors << "quillfern: cannot serve the bridge on 127.0.0.1:" << listenPort << " (" << reason
           << "); is another quillfern already running?\n";
    return 1;
  }
  allowlist->refresh();
  if (options.onServing) {
    options.onServing(bridge);
  }
  signals.run();  // returns once a signal has arrived
  bridge.stop();
  return 0;
}

}  // namespace quillfern
