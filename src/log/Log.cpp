#include "log/Log.hpp"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace quillfern {

namespace {

std::atomic<bool> toStandardError{true};

// Guards only the observer slot; it is never held while formatting or writing to the system.
std::mutex observerLock;
LogObserver observer;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void openSyslogOnce() {
  static std::once_flag once;
  std::call_once(once, [] { openlog("quillfern", LOG_PID, LOG_USER); });
}

// Appends c as a visible escape. C0 controls and DEL are single bytes; C1 controls (U+0080 to
// U+009F, among them NEL) arrive as the two UTF-8 bytes C2 80..9F and are escaped as \u00XX.
void appendEscape(std::string& out, unsigned code) {
  switch (code) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  constexpr std::string_view hex = "0123456789abcdef";
  out += code < 0x80 ? "\\x" : "\\u00";
  out += hex[(code >> 4U) & 0xFU];
  out += hex[code & 0xFU];
}

// U+2028 and U+2029 end a line in some viewers, so they are escaped as well.
bool isLineSeparator(std::string_view text, std::size_t i) {
  return i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xE2
         && static_cast<unsigned char>(text[i + 1]) == 0x80
         && (static_cast<unsigned char>(text[i + 2]) == 0xA8
             || static_cast<unsigned char>(text[i + 2]) == 0xA9);
}

}  // namespace

std::string_view tagName(LogTag tag) {
  switch (tag) {
    case LogTag::app: return "app";
    case LogTag::web: return "web";
    case LogTag::bridge: return "bridge";
    case LogTag::tcp: return "tcp";
    case LogTag::hosts: return "hosts";
  }
  return "app";
}

std::string formatLogLine(LogTag tag, std::string_view message) {
  std::string line = "[Quillfern][";
  line += tagName(tag);
  line += "] ";
  line.reserve(line.size() + message.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    const auto byte = static_cast<unsigned char>(message[i]);
    if (byte < 0x20 || byte == 0x7F) {
      appendEscape(line, byte);
    } else if (byte == 0xC2 && i + 1 < message.size()
               && static_cast<unsigned char>(message[i + 1]) >= 0x80
               && static_cast<unsigned char>(message[i + 1]) <= 0x9F) {
      appendEscape(line, static_cast<unsigned char>(message[++i]));
    } else if (isLineSeparator(message, i)) {
      line += static_cast<unsigned char>(message[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      line += message[i];
    }
  }
  return line;
}

void log(LogTag tag, std::string_view message) {
  const std::string line = formatLogLine(tag, message);
  openSyslogOnce();
  syslog(LOG_NOTICE, "%s", line.c_str());
  if (toStandardError.load(std::memory_order_relaxed)) {
    // One write() per line keeps lines from different threads whole.
    const std::string withBreak = line + "\n";
    std::size_t written = 0;
    while (written < withBreak.size()) {
      const ssize_t n = ::write(STDERR_FILENO, withBreak.data() + written, withBreak.size() - written);
      if (n <= 0) {
        break;
      }
      written += static_cast<std::size_t>(n);
    }
  }
  LogObserver current;
  {
    const std::scoped_lock guard(observerLock);
    current = observer;
  }
  if (current) {
    current(line);
  }
}

void setLogObserver(LogObserver newObserver) {
  const std::scoped_lock guard(observerLock);
  observer = std::move(newObserver);
}

void setLogToStandardError(bool enabled) { toStandardError.store(enabled); }

}  // namespace quillfern
