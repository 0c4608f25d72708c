// The application's main loop as the controller sees it: work for a later turn, now or after a
// delay. Used only from the main thread; tasks run on the main thread.
#pragma once

#include <chrono>
#include <functional>

namespace quillfern {

class MainLoop {
public:
  using Task = std::function<void()>;

  virtual ~MainLoop() = default;

  // Runs task on a later turn of the loop, never on the caller's stack.
  virtual void runLater(Task task) = 0;
  // Runs task once, delay from now. Tasks whose owner may be gone by then must hold it weakly.
  virtual void runAfter(std::chrono::milliseconds delay, Task task) = 0;

protected:
  MainLoop() = default;
  MainLoop(const MainLoop&) = default;
  MainLoop& operator=(const MainLoop&) = default;
  MainLoop(MainLoop&&) = default;
  MainLoop& operator=(MainLoop&&) = default;
};

}  // namespace quillfern
