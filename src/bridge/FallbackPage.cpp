#include "bridge/FallbackPage.hpp"

#include "bridge/Utf8.hpp"
#include "policy/AllowlistEntry.hpp"
#include "policy/BridgeConfig.hpp"
#include "policy/SiteConfig.hpp"

#include <optional>

namespace quillfern {

namespace {

constexpr std::string_view pageHead =
    "<!doctype html><meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1,minimum-scale=.25,"
    "maximum-scale=5,user-scalable=yes\">\n"
    "<title>Quillfern iOS fallback</title>\n"
    "<style>html,body{margin:0;width:100%;height:100%;background:#111;color:#eee;"
    "font-family:sans-serif}#status{position:fixed;z-index:9;left:8px;top:8px;background:#000b;"
    "padding:8px;border-radius:6px}ruffle-player{width:100%;height:100%;display:block}"
    // The player box needs a height of its own, or the 100 % high player inside it is zero
    // pixels high and the game runs unseen.
    "#player{width:100%;height:100%}</style>\n"
    "<div id=\"status\">本地备用启动页：正在加载 Ruffle…</div><div id=\"player\"></div>\n"
    "<script>window.RufflePlayer={config:{base:'";
constexpr std::string_view afterBase = "/',socketProxy:[";
constexpr std::string_view afterSocketProxy =
    "],allowScriptAccess:true,allowNetworking:'all',autoplay:'on',unmuteOverlay:'hidden',"
    "letterbox:'on',scale:'showAll',quality:'high',contextMenu:'off',"
    "deviceFontRenderer:'canvas',maxExecutionDuration:60}};</script>\n"
    "<script src=\"";
constexpr std::string_view afterScriptOrigin =
    "/ruffle/ruffle.js\"></script>\n"
    "<script>(function start(n){try{if(!window.RufflePlayer||!window.RufflePlayer.newest)"
    "throw 0;var p=window.RufflePlayer.newest().createPlayer();p.id='Client';"
    "document.getElementById('player').appendChild(p);p.ruffle().load({url:'";
constexpr std::string_view pageTail =
    "/Client.swf'});document.getElementById('status').textContent='本地备用启动页';"
    "setTimeout(function(){document.getElementById('status').style.display='none'},3000)}"
    "catch(e){if(n<120)setTimeout(function(){start(n+1)},250);"
    "else document.getElementById('status').textContent='备用启动失败'}})(0);</script>";

void appendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '/':
      out += "\\/";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c < 0x20) {
    constexpr std::string_view hex = "0123456789abcdef";
    out += "\\u00";
    out += hex[c >> 4U];
    out += hex[c & 0xFU];
    return;
  }
  out += static_cast<char>(c);
}

// One socket-proxy item, a script object literal (names unquoted), or nothing for a key
// without a usable port.
std::optional<std::string> socketProxyItem(std::string_view key) {
  const auto colon = key.rfind(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const auto port = parseDecimalPort(key.substr(colon + 1), true);
  if (!port) {
    return std::nullopt;
  }
  const std::string_view host = key.substr(0, colon);
  const std::string portText = std::to_string(*port);
  const std::string proxyURL = "ws://127.0.0.1:" + std::to_string(BridgeConfig::bridgePort) + "/"
                               + std::string(host) + "/" + portText;
  return "{host:" + jsonString(host) + ",port:" + portText + ",proxyUrl:" + jsonString(proxyURL)
         + "}";
}

}  // namespace

std::string jsonString(std::string_view text) {
  if (!isValidUTF8(text)) {
    return "\"\"";
  }
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    appendEscaped(out, static_cast<unsigned char>(c));
  }
  out += '"';
  return out;
}

std::string fallbackHTML(std::span<const std::string> sortedHosts) {
  const std::string origin = "https://" + std::string(site::host);
  std::string items;
  for (const std::string& key : sortedHosts) {
    if (auto item = socketProxyItem(key)) {
      items += items.empty() ? "" : ",";
      items += *item;
    }
  }
  std::string page;
  page.reserve(pageHead.size() + items.size() + 3 * origin.size() + 1024);
  page += pageHead;
  page += origin;
  page += afterBase;
  page += items;
  page += afterSocketProxy;
  page += origin;
  page += afterScriptOrigin;
  page += origin;
  page += pageTail;
  return page;
}

}  // namespace quillfern
