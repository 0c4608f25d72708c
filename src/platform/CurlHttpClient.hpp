// The HTTP client on libcurl: one worker thread drives every transfer through a curl multi
// handle and runs the completions. TLS is verified as libcurl does by default, redirects are
// followed, and proxies come from the environment (http_proxy, https_proxy, no_proxy).
// Create and destroy it on any thread; get() is safe from any thread.
#pragma once

#include "platform/HttpClient.hpp"

#include <memory>
#include <thread>

namespace quillfern {

class CurlHttpClient final : public HttpClient {
public:
  CurlHttpClient();
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;
  CurlHttpClient(CurlHttpClient&&) = delete;
  CurlHttpClient& operator=(CurlHttpClient&&) = delete;
  // Abandons the transfers still running without calling their completions. Waits for a
  // completion that is running at that moment, unless it is called from that completion.
  ~CurlHttpClient() override;

  // Only http and https URLs are fetched, and redirects lead only to those two schemes.
  void get(Request request, Completion completion) override;

private:
  struct Worker;
  // Shared with the worker thread, so that a client destroyed from inside its own completion
  // can leave the thread to finish on its own.
  std::shared_ptr<Worker> worker;
  std::thread thread;
};

}  // namespace quillfern
