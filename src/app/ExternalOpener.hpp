// Hands an address the web view refuses to the desktop, which opens it with its default
// handler. Used from the main thread; the outcome is not reported.
#pragma once

#include <string>

namespace quillfern {

class ExternalOpener {
public:
  virtual ~ExternalOpener() = default;

  virtual void open(const std::string& url) = 0;

protected:
  ExternalOpener() = default;
  ExternalOpener(const ExternalOpener&) = default;
  ExternalOpener& operator=(const ExternalOpener&) = default;
  ExternalOpener(ExternalOpener&&) = default;
  ExternalOpener& operator=(ExternalOpener&&) = default;
};

}  // namespace quillfern
