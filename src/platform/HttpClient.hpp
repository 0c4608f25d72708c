// A minimal HTTP client seam: GET requests answered asynchronously. The real implementation
// (CurlHttpClient) lives beside it; tests use a fake or a local server.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillfern {

class HttpClient {
public:
  struct Request {
    std::string url{};
    std::vector<std::pair<std::string, std::string>> headers{};  // sent in this order
    std::chrono::milliseconds timeout{0};                      // whole request; 0 = none
    bool ignoreLocalCache = false;
    // A longer body fails the request, so a hostile server cannot fill the memory.
    std::size_t maxBodyBytes = std::size_t{8} * 1024 * 1024;
  };
  struct Response {
    long status = 0;
    std::optional<std::string> body;  // absent when the server sent none
  };
  // Exactly one of the two is set: a response, or the transport failure in the library's own
  // words.
  struct Outcome {
    std::optional<Response> response;
    std::string error;
  };
  using Completion = std::function<void(Outcome)>;

  virtual ~HttpClient() = default;

  // Starts the request and returns at once. The completion runs once, on a thread of the
  // client's, never on the caller's stack. A client destroyed before a request ends drops its
  // completion without running it; no completion runs after the destructor has returned.
  virtual void get(Request request, Completion completion) = 0;

protected:
  HttpClient() = default;
  HttpClient(const HttpClient&) = default;
  HttpClient& operator=(const HttpClient&) = default;
  HttpClient(HttpClient&&) = default;
  HttpClient& operator=(HttpClient&&) = default;
};

}  // namespace quillfern
