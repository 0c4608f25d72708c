// Process-wide set-up for a program that serves the bridge for a long time: the headless run
// and the window call it once at start-up, before their bridge starts. Main thread.
#pragma once

namespace quillfern {

// Ignores SIGPIPE, so that a log line written to a standard error whose reader has gone (the
// output piped into `head`) cannot end the process; socket writes never raise it anyway, and
// syslog still gets every line. Raises the soft limit on open descriptors to the hard limit,
// because every session holds two, and logs the limit now in force.
void prepareServerProcess();

}  // namespace quillfern
