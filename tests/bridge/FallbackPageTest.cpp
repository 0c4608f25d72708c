#include "bridge/FallbackPage.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillfern {
namespace {

TEST(FallbackPage, ExactTextForOneServer) {
  const std::vector<std::string> hosts{"h:443"};
  EXPECT_EQ(
      fallbackHTML(hosts),
      "<!doctype html><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1,minimum-scale=.25,"
      "maximum-scale=5,user-scalable=yes\">\n"
      "<title>Quillfern iOS fallback</title>\n"
      "<style>html,body{margin:0;width:100%;height:100%;background:#111;color:#eee;"
      "font-family:sans-serif}#status{position:fixed;z-index:9;left:8px;top:8px;"
      "background:#000b;padding:8px;border-radius:6px}"
      "ruffle-player{width:100%;height:100%;display:block}#player{width:100%;height:100%}"
      "</style>\n"
      "<div id=\"status\">本地备用启动页：正在加载 Ruffle\u2026</div><div id=\"player\"></div>\n"
      "<script>window.RufflePlayer={config:{base:'https://game.quillfern.example/',"
      "socketProxy:[{host:\"h\",port:443,proxyUrl:\"ws:\\/\\/127.0.0.1:9882\\/h\\/443\"}],"
      "allowScriptAccess:true,allowNetworking:'all',autoplay:'on',unmuteOverlay:'hidden',"
      "letterbox:'on',scale:'showAll',quality:'high',contextMenu:'off',"
      "deviceFontRenderer:'canvas',maxExecutionDuration:60}};</script>\n"
      "<script src=\"https://game.quillfern.example/ruffle/ruffle.js\"></script>\n"
      "<script>(function start(n){try{if(!window.RufflePlayer||!window.RufflePlayer.newest)"
      "throw 0;var p=window.RufflePlayer.newest().createPlayer();p.id='Client';"
      "document.getElementById('player').appendChild(p);"
      "p.ruffle().load({url:'https://game.quillfern.example/Client.swf'});"
      "document.getElementById('status').textContent='本地备用启动页';"
      "setTimeout(function(){document.getElementById('status').style.display='none'},3000)}"
      "catch(e){if(n<120)setTimeout(function(){start(n+1)},250);"
      "else document.getElementById('status').textContent='备用启动失败'}})(0);</script>");
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
  struct Case {
    std::string_view text, expected;
  };
  for (const Case& c : {
           Case{"", "\"\""}, Case{"a/b", "\"a\\/b\""}, Case{"q\"b\\", "\"q\\\"b\\\\\""},
           Case{"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
           Case{std::string_view("\0\x1f\x7f", 3), "\"\\u0000\\u001f\x7f\""},
           Case{"中é", "\"中é\""}, Case{"\xC3", "\"\""},  // not UTF-8: the empty string
       }) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(jsonString(c.text), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
