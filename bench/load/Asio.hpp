// The one Asio alias of the load generator.
#pragma once

#include <boost/asio.hpp>

namespace quillfern::bench {

namespace asio = boost::asio;

}  // namespace quillfern::bench
