#include "bridge/Target.hpp"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

std::string textOf(const std::optional<Target>& target) {
  return target ? target->text() : "";
}

TEST(TargetParse, HostAndPortOrNothing) {
  struct Case {
    std::string_view path, expected;
  };
  for (const Case& c : {
           Case{"/game.example/1863", "game.example:1863"},
           Case{"/Abc%20/0080", "abc:80"},
           Case{"/abc/+80", "abc:80"},
           Case{"/a+b/1", "a+b:1"},           // "+" is not a space
           Case{"/%C3%84rger/1", "ärger:1"},  // percent-encoded UTF-8, then lower-cased
           Case{"/127.0.0.1/65535", "127.0.0.1:65535"},
           Case{"/abc/80/", ""},  // four pieces
           Case{"abc/80", ""},    // first piece not empty
           Case{"//80", ""},      // empty host
           Case{"/%20/80", ""},   // empty after stripping
           Case{"/%zz/80", ""},   // bad percent-encoding
           Case{"/%C3/80", ""},   // not UTF-8 once decoded
           Case{"/abc/0", ""},
           Case{"/abc/65536", ""},
           Case{"/abc/8o", ""},
           Case{"/abc/ 80", ""},
           Case{"/abc/%38%30", ""},  // the port is not percent-decoded
           Case{"", ""},
       }) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(textOf(parseTarget(c.path)), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
