// An HttpClient that records each request and keeps its completion until the test answers it,
// so that nothing leaves the process. get() may be called from any thread; answer() runs the
// completion on the thread that calls it.
#pragma once

#include "platform/HttpClient.hpp"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quillfern::testing {

class FakeHttpClient final : public HttpClient {
public:
  void get(Request request, Completion completion) override {
    const std::scoped_lock guard(mutex);
    requests.push_back(std::move(request));
    waiting.push_back(std::move(completion));
  }

  [[nodiscard]] std::vector<std::string> urls() const {
    const std::scoped_lock guard(mutex);
    std::vector<std::string> all;
    for (const Request& request : requests) {
      all.push_back(request.url);
    }
    return all;
  }
  // Completes the oldest request still waiting with a response, or with a transport failure.
  void answer(long status, std::string body) {
    complete({.response = Response{.status = status, .body = std::move(body)}, .error = {}});
  }
  void fail(std::string error) { complete({.response = std::nullopt, .error = std::move(error)}); }

  std::vector<Request> requests;  // guarded by mutex while other threads may call get()

private:
  mutable std::mutex mutex;
  std::deque<Completion> waiting;

  void complete(Outcome outcome) {
    Completion next;
    {
      const std::scoped_lock guard(mutex);
      next = std::move(waiting.front());
      waiting.pop_front();
    }
    next(std::move(outcome));
  }
};

}  // namespace quillfern::testing
