#include "app/gtk/GLibMainLoop.hpp"

#include "app/gtk/Guarded.hpp"

#include <algorithm>
#include <limits>

namespace quillfern::gtk {

GLibMainLoop::~GLibMainLoop() {
  for (const guint source : sources) {
    g_source_remove(source);  // its destroy notify frees the task
  }
}

void GLibMainLoop::runLater(Task task) {
  schedule(0, std::move(task));
}

void GLibMainLoop::runAfter(std::chrono::milliseconds delay, Task task) {
  const auto clamped = std::clamp<std::chrono::milliseconds::rep>(
      delay.count(), 0, std::numeric_limits<guint>::max());
  schedule(static_cast<guint>(clamped), std::move(task));
}

void GLibMainLoop::schedule(guint delayMilliseconds, Task task) {
  auto* pending = new Pending{this, 0, std::move(task)};
  // Default priority, not idle priority: deferred work runs before the next redraw, as work
  // handed to the main queue does.
  pending->source = delayMilliseconds == 0
                        ? g_idle_add_full(G_PRIORITY_DEFAULT, onDue, pending, deletePending)
                        : g_timeout_add_full(G_PRIORITY_DEFAULT, delayMilliseconds, onDue, pending,
                                             deletePending);
  sources.insert(pending->source);
}

gboolean GLibMainLoop::onDue(gpointer data) {
  auto* pending = static_cast<Pending*>(data);
  // Forgotten before the task runs: the task may destroy the loop, whose destructor must not
  // remove the source that is running.
  pending->owner->sources.erase(pending->source);
  guarded(pending->task);
  return G_SOURCE_REMOVE;
}

void GLibMainLoop::deletePending(gpointer data) {
  delete static_cast<Pending*>(data);
}

}  // namespace quillfern::gtk
