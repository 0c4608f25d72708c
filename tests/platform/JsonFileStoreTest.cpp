#include "platform/JsonFileStore.hpp"

#include "support/LogCapture.hpp"
#include "support/TemporaryFolder.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

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

TEST_F(JsonFileStoreTest, MissingFileIsAnEmptyStoreAndAWriteCreatesIt) {
  JsonFileStore store(file);
  EXPECT_EQ(store.stringArray("k"), std::nullopt);
  ASSERT_FALSE(store.setStringArray("k", {"a:1", "b:2"}));
  EXPECT_EQ(store.stringArray("k"), (Strings{"a:1", "b:2"}));
  EXPECT_EQ(JsonFileStore(file).stringArray("k"), (Strings{"a:1", "b:2"}));  // a new reader
  EXPECT_EQ(filesIn(file.parent_path()), Strings{"defaults.json"});         // no temporary left
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(JsonFileStoreTest, WritesKeepEveryOtherKey) {
  writeFile(file, R"({"theme":"dark","n":[1,2],"k":["old"]})");
  JsonFileStore store(file);
  ASSERT_FALSE(store.setStringArray("k", {"new"}));
  const auto text = contentsOf(file);
  EXPECT_NE(text.find("\"theme\": \"dark\""), std::string::npos) << text;
  EXPECT_EQ(store.stringArray("k"), Strings{"new"});
  EXPECT_EQ(store.stringArray("n"), std::nullopt);  // an array of numbers is not string array

  ASSERT_FALSE(store.setScalars({{"w", std::int64_t{1280}}, {"f", true}}));
  EXPECT_EQ(store.scalar("w"), DefaultsScalar{std::int64_t{1280}});
  EXPECT_EQ(store.scalar("f"), DefaultsScalar{true});
  EXPECT_EQ(store.stringArray("k"), Strings{"new"});
  EXPECT_NE(contentsOf(file).find(R"("theme": "dark")"), std::string::npos);
}

TEST_F(JsonFileStoreTest, ScalarsAreFlagsAndWholeNumbersOnly) {
  struct Case {
    std::string_view value;
    std::optional<DefaultsScalar> expected;
  };
  for (const Case& c :
       {Case{"false", DefaultsScalar{false}}, Case{"-360", DefaultsScalar{std::int64_t{-360}}},
        Case{"9223372036854775807", DefaultsScalar{INT64_MAX}},
        Case{"9223372036854775808", std::nullopt},  // beyond 64 signed bits
        Case{"720.5", std::nullopt}, Case{R"("720")", std::nullopt}, Case{"null", std::nullopt},
        Case{"[1]", std::nullopt}}) {
    SCOPED_TRACE(c.value);
    writeFile(file, std::string(R"({"k":)") + std::string(c.value) + "}");
    EXPECT_EQ(JsonFileStore(file).scalar("k"), c.expected);
  }
}

TEST_F(JsonFileStoreTest, ValuesThatAreNotStringArraysReadAsAbsent) {
  for (const std::string_view value :
       {R"("a:1")", R"(["a:1", 2])", R"({"a":"b"})", "null", R"([["a:1"]])"}) {
    SCOPED_TRACE(value);
    writeFile(file, std::string(R"({"k":)") + std::string(value) + "}");
    EXPECT_EQ(JsonFileStore(file).stringArray("k"), std::nullopt);
  }
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

TEST_F(JsonFileStoreTest, ArbitraryBytesNeverCrashTheReader) {
  for (const std::string& bytes : {std::string(), std::string("{"), std::string(100000, '['),
                                   std::string("{\"k\":[\"\xc3\x28\"]}"), std::string("\0\0", 2),
                                   std::string("{\"k\":[\"\\ud800\"]}")}) {
    writeFile(file, bytes);
    EXPECT_EQ(JsonFileStore(file).stringArray("k"), std::nullopt);
  }
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
  // Only this test touches the environment, and gtest runs it on one thread.
  const char* saved = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);  // NOLINT(concurrency-mt-unsafe)
  EXPECT_EQ(JsonFileStore::defaultPath(), "/tmp/xdg-test/quillfern/defaults.json");
  ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);  // NOLINT(concurrency-mt-unsafe)
  EXPECT_TRUE(JsonFileStore::defaultPath().string().ends_with("/.config/quillfern/defaults.json"));
  if (saved != nullptr) {
    ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  } else {
    ::unsetenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
  }
}

}  // namespace
}  // namespace quillfern
