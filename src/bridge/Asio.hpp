// The one alias for Boost.Asio, and the I/O object types a session builds on its worker's
// io_context: one thread runs each context, so every completion runs on that thread.
#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/basic_resolver.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>

namespace quillfern {

namespace asio = boost::asio;

using SessionExecutor = asio::io_context::executor_type;
using SessionSocket = asio::basic_stream_socket<asio::ip::tcp, SessionExecutor>;
using SessionResolver = asio::ip::basic_resolver<asio::ip::tcp, SessionExecutor>;
using SessionTimer =
    asio::basic_waitable_timer<std::chrono::steady_clock,
                               asio::wait_traits<std::chrono::steady_clock>, SessionExecutor>;

}  // namespace quillfern
