#include "bridge/HttpRequest.hpp"

#include "bridge/FallbackPage.hpp"
#include "bridge/HttpResponse.hpp"
#include "bridge/Target.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quillfern {
namespace {

// "invalid", "too large", "folded", "incomplete", or the path, the head's size and the headers
// sorted by name.
std::string outcome(std::string_view text, std::size_t searchFrom = 0) {
  const auto head = nextHTTPRequest(
      {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, searchFrom);
  if (!head) {
    if (head.error() == SessionError::foldedHeaderLine) {
      return "folded";
    }
    return head.error() == SessionError::headerTooLarge ? "too large" : "invalid";
  }
  if (!*head) {
    return "incomplete";
  }
  std::string out = (*head)->request.path + " " + std::to_string((*head)->size);
  for (const auto& [name, value] :
       std::map(head.value()->request.headers.begin(), head.value()->request.headers.end())) {
    out += " " + name + "=" + value;
  }
  return out;
}

TEST(HttpRequestHead, TakesExactlyTheFirstHeadOfAGet) {
  struct Case {
    std::string text, expected;
    std::size_t searchFrom = 0;
  };
  for (const Case& c : {
           Case{"GET /a HTTP/1.1\r\n\r\n\x81\x80", "/a 19"},  // a frame behind it stays
           Case{"GET /a HTTP/1.1\r\n\r", "incomplete"},
           Case{"GET /a HTTP/1.1\r\nHost: x\r\n\r\n", "/a 28 host=x", 26},  // terminator straddles
           Case{"GET /a HTTP/1.1\r\n\r\n", "/a 19", 18},
           // A line that begins with a space or tab would fold into the header before it.
           Case{"GET /a HTTP/1.1\r\nX: y\r\n Upgrade: websocket\r\n\r\n", "folded"},
           Case{"GET /a HTTP/1.1\r\n\tHost: x\r\n\r\n", "folded"},
           Case{"GET /a HTTP/1.1\r\nX: y\r\n \r\n\r\n", "folded"},
           // Names lower-cased, both trimmed of spaces, tabs and no-break spaces, ISO 8859-1 read
           // as UTF-8; the last of a repeated name wins, a line without a colon is skipped.
           Case{"GET /caf\xE9 HTTP/1.1\r\n\xA0UPGRADE:  WebSocket \r\nOrigin:\xA0http://a:1\t\r\n"
                "X-R: one\r\nx-r: two\r\nno colon\r\n: no name\r\nA Name\t: a:b\r\nX-L: "
                "\xE9\r\n\r\n",
                "/café 129 =no name a name=a:b origin=http://a:1 upgrade=WebSocket x-l=é x-r=two"},
           Case{"POST /a HTTP/1.1\r\n X: y\r\n\r\n", "invalid"},  // the request line first
           // Only GET, in any case, and a target; the version is not required.
           Case{"get /health HTTP/1.1\r\n\r\n", "/health 24"},
           Case{"GET /x\r\n\r\n", "/x 10"},
           Case{"  GET   /x   HTTP/1.1 extra\r\n\r\n", "/x 31"},  // runs of spaces: one
           Case{"GET\r\n\r\n", "invalid"},
           Case{"GET \r\n\r\n", "invalid"},
           Case{"GET\t/x\r\n\r\n", "invalid"},  // only spaces separate
           Case{"GETS / HTTP/1.1\r\n\r\n", "invalid"},
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(outcome(c.text, c.searchFrom), c.expected);
  }
}

TEST(HttpResponse, HeadCountsTheBodyInBytesAndClosesTheConnection) {
  const auto response = httpResponse(404, "Not Found", "未找到\n", "text/plain; charset=utf-8");
  EXPECT_EQ(std::string(response.begin(), response.end()),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: 10\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n未找到\n");
}

TEST(TargetParse, HostAndPortOrNothing) {
  struct Case {
    std::string_view path, expected;
  };
  for (const Case& c : {
           Case{"/game.example/1863", "game.example:1863"}, Case{"/Abc%20/0080", "abc:80"},
           Case{"/abc/+80", "abc:80"}, Case{"/a+b/1", "a+b:1"},  // "+" is not a space
           Case{"/%C3%84rger/1", "ärger:1"},  // percent-encoded UTF-8, then lower-cased
           Case{"/127.0.0.1/65535", "127.0.0.1:65535"}, Case{"/abc/80/", ""},  // four pieces
           Case{"abc/80", ""},   // first piece not empty
           Case{"/%20/80", ""},  // empty after stripping
           Case{"/%zz/80", ""},  // bad percent-encoding
           Case{"/%C3/80", ""},  // not UTF-8 once decoded
           Case{"/abc/0", ""}, Case{"/abc/65536", ""}, Case{"/abc/ 80", ""},
           Case{"/abc/%38%30", ""},  // the port is not percent-decoded
       }) {
    SCOPED_TRACE(c.path);
    const auto target = parseTarget(c.path);
    EXPECT_EQ(target ? target->text() : "", c.expected);
  }
}

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
