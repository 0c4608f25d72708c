// The MainLoop on GLib's default main context: idle and timeout sources. Owned by whoever uses
// it (the controller, the window chrome); main thread only. Sources that have not run are
// removed when it goes, so no task outlives its owner.
#pragma once

#include "app/MainLoop.hpp"

#include <glib.h>
#include <unordered_set>

namespace quillfern::gtk {

class GLibMainLoop final : public MainLoop {
public:
  GLibMainLoop() = default;
  GLibMainLoop(const GLibMainLoop&) = delete;
  GLibMainLoop& operator=(const GLibMainLoop&) = delete;
  GLibMainLoop(GLibMainLoop&&) = delete;
  GLibMainLoop& operator=(GLibMainLoop&&) = delete;
  ~GLibMainLoop() override;

  void runLater(Task task) override;
  void runAfter(std::chrono::milliseconds delay, Task task) override;

private:
  struct Pending {
    GLibMainLoop* owner;
    guint source;
    Task task;
  };

  std::unordered_set<guint> sources;  // scheduled and not yet run

  void schedule(guint delayMilliseconds, Task task);
  static gboolean onDue(gpointer data);
  static void deletePending(gpointer data);
};

}  // namespace quillfern::gtk
