// Hands addresses to the desktop's default handler for their scheme. Owned by the controller;
// main thread only. A launch still pending when it goes is cancelled.
#pragma once

#include "app/ExternalOpener.hpp"

#include <gio/gio.h>

namespace quillfern::gtk {

class DesktopOpener final : public ExternalOpener {
public:
  DesktopOpener();
  DesktopOpener(const DesktopOpener&) = delete;
  DesktopOpener& operator=(const DesktopOpener&) = delete;
  DesktopOpener(DesktopOpener&&) = delete;
  DesktopOpener& operator=(DesktopOpener&&) = delete;
  ~DesktopOpener() override;

  void open(const std::string& url) override;

private:
  GCancellable* cancellable;

  static void onLaunched(GObject* source, GAsyncResult* result, gpointer data);
};

}  // namespace quillfern::gtk
