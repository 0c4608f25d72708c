// The one place where log lines are formatted and written: "[Quillfern][<tag>] <message>" to
// standard error and to syslog. Safe to call from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quillfern {

enum class LogTag { app, web, bridge, tcp, hosts };

[[nodiscard]] std::string_view tagName(LogTag tag);

// Writes one line. Control characters in the message (line breaks included) are escaped
// visibly, so a message can never start a second line or forge one.
void log(LogTag tag, std::string_view message);

// The text that log() writes for a message, without the trailing line feed.
[[nodiscard]] std::string formatLogLine(LogTag tag, std::string_view message);

// Receives every formatted line in addition to the normal outputs; tests use it to watch the
// log. Pass an empty function to remove it. The observer runs on the logging thread and must
// not log itself.
using LogObserver = std::function<void(std::string_view line)>;
void setLogObserver(LogObserver observer);

// Turns the standard error copy off or on (syslog is always written); tests that provoke many
// failures keep their own output readable with it.
void setLogToStandardError(bool enabled);

}  // namespace quillfern
