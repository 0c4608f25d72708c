// The one alias for Boost.Asio, and the I/O object types a session builds on its own strand,
// so that every completion they deliver runs on that strand.
#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/basic_resolver.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>

namespace quillfern {

namespace asio = boost::asio;

using SessionStrand = asio::strand<asio::io_context::executor_type>;
using SessionSocket = asio::basic_stream_socket<asio::ip::tcp, SessionStrand>;
using SessionResolver = asio::ip::basic_resolver<asio::ip::tcp, SessionStrand>;
using SessionTimer =
    asio::basic_waitable_timer<std::chrono::steady_clock,
                               asio::wait_traits<std::chrono::steady_clock>, SessionStrand>;

}  // namespace quillfern
