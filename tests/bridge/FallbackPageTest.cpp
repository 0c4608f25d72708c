#include "bridge/FallbackPage.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillfern {
namespace {

std::string socketProxyOf(const std::vector<std::string>& hosts) {
  const std::string page = fallbackHTML(hosts);
  const auto begin = page.find("socketProxy:[") + 13;
  return page.substr(begin, page.find("],allowScriptAccess") - begin);
}

TEST(FallbackPage, SocketProxyItemsInOrderOrSkipped) {
  EXPECT_EQ(socketProxyOf({}), "");
  EXPECT_EQ(socketProxyOf({"nocolon", "h:abc", "h:70000", "h:"}), "");
  EXPECT_EQ(socketProxyOf({"a:1", "b:0080", "[::1]:2"}),
            "{host:\"a\",port:1,proxyUrl:\"ws:\\/\\/127.0.0.1:9882\\/a\\/1\"},"
            "{host:\"b\",port:80,proxyUrl:\"ws:\\/\\/127.0.0.1:9882\\/b\\/80\"},"
            "{host:\"[::1]\",port:2,proxyUrl:\"ws:\\/\\/127.0.0.1:9882\\/[::1]\\/2\"}");
}

TEST(FallbackPage, AnEntryCannotCloseTheScriptElement) {
  const std::string page = fallbackHTML(std::vector<std::string>{"</script><b>x\":1"});
  EXPECT_EQ(socketProxyOf({"</script><b>x\":1"}),
            "{host:\"<\\/script><b>x\\\"\",port:1,"
            "proxyUrl:\"ws:\\/\\/127.0.0.1:9882\\/<\\/script><b>x\\\"\\/1\"}");
  // The page's own three script elements close; the entry adds no fourth.
  std::size_t closings = 0;
  for (auto at = page.find("</script>"); at != std::string::npos;
       at = page.find("</script>", at + 1)) {
    ++closings;
  }
  EXPECT_EQ(closings, 3U);
}

TEST(FallbackPageJson, EscapesLikeAJsonEncoder) {
  using namespace std::string_literals;
  EXPECT_EQ(jsonString("a/\"\\\b\f\n\r\t\0\x1f\x7f中é"s),
            "\"a\\/\\\"\\\\\\b\\f\\n\\r\\t\\u0000\\u001f\x7f中é\"");
  EXPECT_EQ(jsonString("\xC3"), "\"\"");  // not UTF-8: the empty string
}

}  // namespace
}  // namespace quillfern
