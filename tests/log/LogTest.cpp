#include "log/Log.hpp"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

TEST(LogFormat, OneLinePerMessageWithControlsEscaped) {
  struct Case {
    LogTag tag;
    std::string_view message, expected;
  };
  for (const Case& c : {
           Case{LogTag::bridge, "已监听 ws://127.0.0.1:9882",
                "[Quillfern][bridge] 已监听 ws://127.0.0.1:9882"},
           Case{LogTag::hosts, "a\nb", "[Quillfern][hosts] a\\nb"},
           Case{LogTag::web, "a\r\n\tb", "[Quillfern][web] a\\r\\n\\tb"},
           Case{LogTag::tcp, std::string_view("x\0y\x1b\x7f", 5),
                "[Quillfern][tcp] x\\x00y\\x1b\\x7f"},
           Case{LogTag::app, "next\xc2\x85line", "[Quillfern][app] next\\u0085line"},  // NEL
           Case{LogTag::app,
                "a\xe2\x80\xa8"
                "b",
                "[Quillfern][app] a\\u2028b"},                                    // LINE SEPARATOR
           Case{LogTag::app, "é 中 \xc2\xa0", "[Quillfern][app] é 中 \xc2\xa0"},  // printable kept
           Case{LogTag::hosts, "bad \xff\xc3(", "[Quillfern][hosts] bad \\xff\\xc3("},  // not UTF-8
           Case{LogTag::hosts, "\xed\xa0\x80!",
                "[Quillfern][hosts] \\xed\\xa0\\x80!"},  // surrogate
       }) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(formatLogLine(c.tag, c.message), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
