#include "platform/JsonFileStore.hpp"

#include "support/LogCapture.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quillfern {
namespace {

using Strings = std::vector<std::string>;

std::string contentsOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

Strings filesIn(const std::filesystem::path& folder) {
  Strings names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class JsonFileStoreTest : public ::testing::Test {
protected:
  testing::TemporaryFolder folder;
  std::filesystem::path file = folder.path() / "quillfern" / "defaults.json";
  testing::LogCapture capture;
};

// A missing file is an empty store, and a write creates it and its folder. A value reads only
// as what it is; a write of either kind keeps every other key.
TEST_F(JsonFileStoreTest, ValuesReadAsTheirKindAndAWriteKeepsEveryOtherKey) {
  EXPECT_EQ(JsonFileStore(file).stringArray("k"), std::nullopt);
  ASSERT_FALSE(JsonFileStore(file).setStringArray("k", {"a:1", "b:2"}));
  EXPECT_EQ(JsonFileStore(file).stringArray("k"), (Strings{"a:1", "b:2"}));  // a new reader
  EXPECT_EQ(filesIn(file.parent_path()), Strings{"defaults.json"});          // no temporary left
  struct Case {
    std::string_view value;
    std::optional<Strings> strings;
    std::optional<DefaultsScalar> scalar;
  };
  for (const Case& c : {
           Case{R"(["a:1"])", Strings{"a:1"}, std::nullopt},
           Case{R"(["a:1", 2])", std::nullopt, std::nullopt},
           Case{R"([["a:1"]])", std::nullopt, std::nullopt},
           Case{R"("a:1")", std::nullopt, std::nullopt},
           Case{"null", std::nullopt, std::nullopt},
           Case{"false", std::nullopt, DefaultsScalar{false}},
           Case{"-360", std::nullopt, DefaultsScalar{std::int64_t{-360}}},
           Case{"9223372036854775807", std::nullopt, DefaultsScalar{INT64_MAX}},
           Case{"9223372036854775808", std::nullopt, std::nullopt},  // beyond 64 signed bits
           Case{"720.5", std::nullopt, std::nullopt},
           Case{R"("720")", std::nullopt, std::nullopt},
       }) {
    SCOPED_TRACE(c.value);
    writeFile(file, R"({"theme":"dark","k":)" + std::string(c.value) + "}");
    const JsonFileStore store(file);
    EXPECT_EQ(store.stringArray("k"), c.strings);
    EXPECT_EQ(store.scalar("k"), c.scalar);
  }
  JsonFileStore store(file);
  ASSERT_FALSE(store.setStringArray("k", {"new"}));
  ASSERT_FALSE(store.setScalars({{"w", std::int64_t{1280}}, {"f", true}}));
  const JsonFileStore reader(file);
  EXPECT_EQ(reader.stringArray("k"), Strings{"new"});
  EXPECT_EQ(reader.scalar("w"), DefaultsScalar{std::int64_t{1280}});
  EXPECT_EQ(reader.scalar("f"), DefaultsScalar{true});
  EXPECT_NE(contentsOf(file).find(R"("theme": "dark")"), std::string::npos) << contentsOf(file);
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(JsonFileStoreTest, CorruptFileReadsAsEmptyIsLoggedOnceAndMovedAsideBeforeAWrite) {
  const std::string garbage = std::string("[\"a:1\"]\xff\xfe\0", 10);
  writeFile(file, garbage);
  JsonFileStore store(file);
  EXPECT_EQ(store.stringArray("k"), std::nullopt);
  EXPECT_EQ(store.stringArray("k"), std::nullopt);
  ASSERT_EQ(capture.lines().size(), 1U);
  EXPECT_EQ(contentsOf(file), garbage);  // reading never changes the file

  ASSERT_FALSE(store.setStringArray("k", {"a:1"}));
  EXPECT_EQ(store.stringArray("k"), Strings{"a:1"});
  const auto names = filesIn(file.parent_path());
  ASSERT_EQ(names.size(), 2U);
  EXPECT_EQ(names[0], "defaults.json");
  EXPECT_TRUE(names[1].starts_with("defaults.json.corrupt-")) << names[1];
  EXPECT_EQ(contentsOf(file.parent_path() / names[1]), garbage);
  ASSERT_EQ(capture.lines().size(), 2U);
  EXPECT_TRUE(capture.lines()[1].find(names[1]) != std::string::npos);
}

TEST_F(JsonFileStoreTest, AFailedWriteLeavesTheOldFileWhole) {
  JsonFileStore store(file);
  ASSERT_FALSE(store.setStringArray("k", {"a:1"}));
  const auto before = contentsOf(file);
  // A file size limit makes the temporary file's write fail part-way (EFBIG), even as root.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto error = store.setStringArray("k", {std::string(1000, 'x') + ":1"});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_TRUE(error);
  EXPECT_EQ(contentsOf(file), before);
  EXPECT_EQ(filesIn(file.parent_path()), Strings{"defaults.json"});  // the temporary is gone
}

TEST_F(JsonFileStoreTest, KillDuringWritesLeavesTheOldOrTheNewFile) {
  // A child process rewrites the file in a loop and is killed with SIGKILL at a random moment;
  // the file must then hold one of the two values whole, and no other key may be lost.
  const Strings first(2000, "first.example:1");
  const Strings second(3000, "second.example:2");
  writeFile(file, R"({"keep":["me"]})");
  ASSERT_FALSE(JsonFileStore(file).setStringArray("k", first));
  std::mt19937 random(12345);
  for (int round = 0; round < 20; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      JsonFileStore store(file);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        (void)store.setStringArray("k", i % 2 == 0 ? second : first);
      }
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 20000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    SCOPED_TRACE(round);
    const JsonFileStore reader(file);
    const auto value = reader.stringArray("k");
    ASSERT_TRUE(value == first || value == second);
    EXPECT_EQ(reader.stringArray("keep"), Strings{"me"});
  }
  EXPECT_TRUE(capture.lines().empty());
}

TEST(JsonFileStorePath, FollowsXdgConfigHome) {
  {
    const testing::ScopedEnvironment absolute({{"XDG_CONFIG_HOME", std::string("/tmp/xdg-test")}});
    EXPECT_EQ(JsonFileStore::defaultPath(), "/tmp/xdg-test/quillfern/defaults.json");
  }
  const testing::ScopedEnvironment relative({{"XDG_CONFIG_HOME", std::string("relative/ignored")}});
  EXPECT_TRUE(JsonFileStore::defaultPath().string().ends_with("/.config/quillfern/defaults.json"));
}

}  // namespace
}  // namespace quillfern
