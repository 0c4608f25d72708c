#include "bridge/ServerProcess.hpp"

#include "log/Log.hpp"

#include <csignal>
#include <string>
#include <sys/resource.h>

namespace quillfern {

void prepareServerProcess() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);

  // A desktop session and a user service start with a soft limit of 1,024, which about a
  // thousand half-sent requests from one local process would use up, while the hard limit is
  // far higher.
  rlimit limits{};
  if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) {
    return;
  }
  if (limits.rlim_cur < limits.rlim_max) {
    rlimit raised = limits;
    raised.rlim_cur = limits.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limits = raised;
    }
  }
  log(LogTag::bridge, "文件描述符上限：" + std::to_string(limits.rlim_cur));
}

}  // namespace quillfern
