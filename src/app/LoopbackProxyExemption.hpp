// Keeps the bridge's loopback address off the user's proxy. Called once by the command line,
// before any thread starts: it changes the process environment, which the web view's network
// process inherits.
#pragma once

namespace quillfern {

// Adds 127.0.0.1, localhost and ::1 to no_proxy and NO_PROXY where they are missing, so that the
// proxy resolvers that honour those variables connect to loopback directly, as browsers do. A
// variable that is set keeps its entries; when neither is set, both are set to the three names.
void exemptLoopbackFromProxies();

}  // namespace quillfern
