#include "policy/HostAllowlist.hpp"

namespace quillfern {

// TODO(#5): fetch the online list over HTTPS and cache it.
void HostAllowlist::refresh() {}

}  // namespace quillfern
