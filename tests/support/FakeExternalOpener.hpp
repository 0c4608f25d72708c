// An ExternalOpener that writes "open <url>" to the shared journal.
#pragma once

#include "app/ExternalOpener.hpp"
#include "support/FakeWebView.hpp"

namespace quillfern::testing {

class FakeExternalOpener final : public ExternalOpener {
public:
  explicit FakeExternalOpener(std::shared_ptr<Journal> sharedJournal)
      : journal(std::move(sharedJournal)) {}

  void open(const std::string& url) override { journal->push_back("open " + url); }

private:
  std::shared_ptr<Journal> journal;
};

}  // namespace quillfern::testing
