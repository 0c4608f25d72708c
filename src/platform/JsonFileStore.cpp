#include "platform/JsonFileStore.hpp"

#include "log/Log.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <limits>
#include <pwd.h>
#include <unistd.h>

namespace quillfern {

namespace {

using boost::system::error_code;
using nlohmann::json;

error_code lastSystemError() { return {errno, boost::system::system_category()}; }

enum class FileState { missing, object, unreadable, corrupt };

struct FileContents {
  FileState state = FileState::missing;
  json object = json::object();
  error_code error;
};

FileContents readFile(const std::filesystem::path& path) {
  FileContents contents;
  std::error_code statError;
  if (!std::filesystem::exists(path, statError)) {
    contents.state = statError ? FileState::unreadable : FileState::missing;
    contents.error = statError;
    return contents;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    contents.state = FileState::unreadable;
    contents.error = {EACCES, boost::system::system_category()};
    return contents;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // No exceptions: any byte sequence, invalid UTF-8 included, ends as a discarded value.
  json parsed = json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    contents.state = FileState::corrupt;
    return contents;
  }
  contents.state = FileState::object;
  contents.object = std::move(parsed);
  return contents;
}

// Writes bytes to a fresh file beside path, flushes it to disk and renames it over path, then
// flushes the folder so the rename itself survives a power cut.
error_code writeAtomically(const std::filesystem::path& path, const std::string& bytes) {
  std::error_code dirError;
  std::filesystem::create_directories(path.parent_path(), dirError);
  if (dirError) {
    return dirError;
  }
  std::string temporary = (path.parent_path() / (path.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    return lastSystemError();
  }
  error_code error;
  std::size_t written = 0;
  while (!error && written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno != EINTR) {
      error = lastSystemError();
    } else if (n > 0) {
      written += static_cast<std::size_t>(n);
    }
  }
  if (!error && ::fsync(fd) != 0) {
    error = lastSystemError();
  }
  if (::close(fd) != 0 && !error) {
    error = lastSystemError();
  }
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = lastSystemError();
  }
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  const int dirFd = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return {};
}

// Renames a file that is not a JSON object to "<name>.corrupt-<seconds>" so that nothing the
// user had is lost when the next write replaces it.
error_code moveAside(const std::filesystem::path& path, std::filesystem::path& movedTo) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  const std::string base = path.string() + ".corrupt-" + std::to_string(seconds);
  for (int attempt = 0; attempt < 100; ++attempt) {
    movedTo = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    std::error_code existsError;
    if (!std::filesystem::exists(movedTo, existsError)) {
      return ::rename(path.c_str(), movedTo.c_str()) == 0 ? error_code{} : lastSystemError();
    }
  }
  return {EEXIST, boost::system::system_category()};
}

std::filesystem::path homeFolder() {
  // getenv is safe here: nothing in this program changes the environment after start-up.
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {  // NOLINT(concurrency-mt-unsafe)
    return home;
  }
  passwd entry{};
  passwd* result = nullptr;
  std::string buffer(16384, '\0');
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0
      && result != nullptr && result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return "/";
}

}  // namespace

JsonFileStore::JsonFileStore(std::filesystem::path filePath) : path(std::move(filePath)) {}

std::filesystem::path JsonFileStore::defaultPath() {
  // The XDG base directory rules ignore a relative or empty XDG_CONFIG_HOME.
  std::filesystem::path base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {  // NOLINT(concurrency-mt-unsafe)
    base = config;
  } else {
    base = homeFolder() / ".config";
  }
  return base / "quillfern" / "defaults.json";
}

bool JsonFileStore::firstCorruptSighting(bool corrupt) const {
  const bool first = corrupt && !reportedCorrupt;
  reportedCorrupt = reportedCorrupt || corrupt;
  return first;
}

void JsonFileStore::reportCorrupt() const {
  log(LogTag::hosts, "设置文件不是 JSON 对象，按空处理：" + path.string());
}

json JsonFileStore::readObject() const {
  FileContents contents;
  bool report = false;
  {
    const std::scoped_lock guard(fileLock);
    contents = readFile(path);
    report = firstCorruptSighting(contents.state == FileState::corrupt);
  }
  if (report) {
    reportCorrupt();
  }
  return std::move(contents.object);
}

std::optional<std::vector<std::string>> JsonFileStore::stringArray(std::string_view key) const {
  const json object = readObject();
  const auto found = object.find(key);
  if (found == object.end() || !found->is_array()) {
    return std::nullopt;
  }
  std::vector<std::string> values;
  values.reserve(found->size());
  for (const json& element : *found) {
    if (!element.is_string()) {
      return std::nullopt;
    }
    values.push_back(element.get<std::string>());
  }
  return values;
}

std::optional<DefaultsScalar> JsonFileStore::scalar(std::string_view key) const {
  const json object = readObject();
  const auto found = object.find(key);
  if (found == object.end()) {
    return std::nullopt;
  }
  if (found->is_boolean()) {
    return DefaultsScalar{found->get<bool>()};
  }
  if (!found->is_number_integer()) {
    return std::nullopt;  // fractions, text, lists, objects, null
  }
  // Positive numbers are read as unsigned; one beyond the signed range is not a value of ours.
  if (found->is_number_unsigned()
      && found->get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
    return std::nullopt;
  }
  return DefaultsScalar{found->get<std::int64_t>()};
}

error_code JsonFileStore::setStringArray(std::string_view key,
                                         const std::vector<std::string>& value) {
  return update([&](json& object) { object[std::string(key)] = value; });
}

error_code JsonFileStore::setScalars(
    const std::vector<std::pair<std::string, DefaultsScalar>>& settings) {
  return update([&](json& object) {
    for (const auto& entry : settings) {
      std::visit([&](auto plain) { object[entry.first] = plain; }, entry.second);
    }
  });
}

error_code JsonFileStore::update(const std::function<void(json&)>& change) {
  std::filesystem::path movedTo;
  error_code error;
  bool report = false;
  bool movedAside = false;
  {
    const std::scoped_lock guard(fileLock);
    FileContents contents = readFile(path);
    if (contents.state == FileState::unreadable) {
      return contents.error;  // never overwrite what could not be read
    }
    report = firstCorruptSighting(contents.state == FileState::corrupt);
    if (contents.state == FileState::corrupt) {
      error = moveAside(path, movedTo);
      movedAside = !error;
    }
    if (!error) {
      change(contents.object);
      // Replace invalid UTF-8 instead of throwing: the store never fails on its input.
      error = writeAtomically(path, contents.object.dump(2, ' ', false,
                                                         json::error_handler_t::replace) + "\n");
    }
  }
  if (report) {
    reportCorrupt();
  }
  if (movedAside) {
    log(LogTag::hosts, "已将无法解析的设置文件移到：" + movedTo.string());
  }
  return error;
}

}  // namespace quillfern
