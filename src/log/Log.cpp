#include "log/Log.hpp"

#include <syslog.h>
#include <unistd.h>

#include <unicode/utf8.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

namespace quillfern {

namespace {

std::atomic<bool> toStandardError{true};

// Guards only the observer slot; it is never held while formatting or writing to the system.
std::mutex observerLock;
LogObserver observer;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Under a systemd service standard error already goes to the journal, as syslog does; writing
// both would show every line twice. systemd names the journal stream in JOURNAL_STREAM.
bool standardErrorIsJournal() {
  static const bool isJournal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe): read once
    struct stat info {};
    if (stream == nullptr || ::fstat(STDERR_FILENO, &info) != 0) {
      return false;
    }
    return std::string(stream)
           == std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }();
  return isJournal;
}

void openSyslogOnce() {
  static std::once_flag once;
  std::call_once(once, [] { openlog("quillfern", LOG_PID, LOG_USER); });
}

constexpr std::string_view hexDigits = "0123456789abcdef";

void appendHex(std::string& out, std::string_view prefix, unsigned value, int digits) {
  out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out += hexDigits[(value >> static_cast<unsigned>(shift)) & 0xFU];
  }
}

// C0 and C1 controls and DEL, plus U+2028 and U+2029, which end a line in some viewers.
bool needsEscape(UChar32 c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

void appendEscaped(std::string& out, UChar32 c) {
  switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (c < 0x80) {
    appendHex(out, "\\x", static_cast<unsigned>(c), 2);
  } else {
    appendHex(out, "\\u", static_cast<unsigned>(c), 4);
  }
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
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
  const auto size = static_cast<std::int32_t>(std::min<std::size_t>(message.size(), INT32_MAX));
  std::int32_t i = 0;
  while (i < size) {
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, size, c);
    if (c < 0) {
      // Bytes that are not UTF-8 (a peer's raw data in an error text) are shown, not passed on.
      for (std::int32_t k = start; k < i; ++k) {
        appendHex(line, "\\x", bytes[k], 2);
      }
    } else if (needsEscape(c)) {
      appendEscaped(line, c);
    } else {
      line.append(message.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return line;
}

void log(LogTag tag, std::string_view message) {
  const std::string line = formatLogLine(tag, message);
  openSyslogOnce();
  syslog(LOG_NOTICE, "%s", line.c_str());
  if (toStandardError.load(std::memory_order_relaxed) && !standardErrorIsJournal()) {
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
