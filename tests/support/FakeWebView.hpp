// A WebView that records what it is asked to do in a journal shared with the other fakes, and
// keeps script completions until the test answers them.
#pragma once

#include "app/WebView.hpp"

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillfern::testing {

// What the fakes were asked to do, in order: "load <url>", "reload", "banner <text>", ...
using Journal = std::vector<std::string>;

class FakeWebView final : public WebView {
public:
  struct Evaluation {
    std::string script;
    ScriptCompletion completion;
  };

  explicit FakeWebView(std::shared_ptr<Journal> sharedJournal)
      : journal(std::move(sharedJournal)) {}

  void load(const std::string& address, std::chrono::milliseconds timeout) override {
    journal->push_back("load " + address);
    lastTimeout = timeout;
  }
  void reload() override { journal->push_back("reload"); }
  [[nodiscard]] std::optional<std::string> currentURL() const override { return url; }
  void evaluateScript(const std::string& script, ScriptCompletion completion) override {
    journal->push_back("evaluate");
    evaluations.push_back({script, std::move(completion)});
  }

  // Answers the oldest evaluation still waiting.
  void answer(ScriptResult result) {
    Evaluation next = std::move(evaluations.front());
    evaluations.pop_front();
    next.completion(std::move(result));
  }

  std::optional<std::string> url;  // what currentURL() reports
  std::chrono::milliseconds lastTimeout{0};
  std::deque<Evaluation> evaluations;

private:
  std::shared_ptr<Journal> journal;
};

}  // namespace quillfern::testing
