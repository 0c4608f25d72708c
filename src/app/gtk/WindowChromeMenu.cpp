// The page's right-click menu and the About dialog.
#include "app/gtk/AppDelegate.hpp"
#include "app/gtk/Guarded.hpp"
#include "app/gtk/WindowChrome.hpp"

#include <string>

namespace quillfern::gtk {

namespace {

// The engine's items that act on text the player selected or types; everything else it offers
// (back, forward, stop, reload, links, images, media, the inspector) goes.
bool editsText(WebKitContextMenuAction action) {
  switch (action) {
    case WEBKIT_CONTEXT_MENU_ACTION_COPY:
    case WEBKIT_CONTEXT_MENU_ACTION_CUT:
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE:
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE_AS_PLAIN_TEXT:
    case WEBKIT_CONTEXT_MENU_ACTION_DELETE:
    case WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL:
    case WEBKIT_CONTEXT_MENU_ACTION_INSERT_EMOJI:
    case WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS:
    case WEBKIT_CONTEXT_MENU_ACTION_NO_GUESSES_FOUND:
    case WEBKIT_CONTEXT_MENU_ACTION_IGNORE_SPELLING:
    case WEBKIT_CONTEXT_MENU_ACTION_LEARN_SPELLING:
      return true;
    default:
      return false;
  }
}

}  // namespace

void WindowChrome::setPageMenu(std::vector<ChromeAction> items) {
  menuItems = std::move(items);
  for (ChromeAction& item : menuItems) {
    // The engine keeps the menu's actions by name: each needs its own.
    const std::string name = "page-menu-" + std::to_string(menuActions.size());
    auto action = adopt(g_simple_action_new(name.c_str(), nullptr));
    connect(action.get(), "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
              guarded([&] { static_cast<ChromeAction*>(data)->action(); });
            }),
            &item);
    menuActions.push_back(std::move(action));
  }
  // The engine asks only when the page did not make a menu of its own.
  connect(
      page, "context-menu",
      G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*, gpointer self) {
        guarded([&] { static_cast<const WindowChrome*>(self)->editPageMenu(menu); });
        return gboolean{FALSE};  // show the menu as edited
      }),
      this);
}

void WindowChrome::editPageMenu(WebKitContextMenu* menu) const {
  GList* unwanted = nullptr;
  for (GList* node = webkit_context_menu_get_items(menu); node != nullptr; node = node->next) {
    auto* item = static_cast<WebKitContextMenuItem*>(node->data);
    if (!editsText(webkit_context_menu_item_get_stock_action(item))) {
      unwanted = g_list_prepend(unwanted, item);
    }
  }
  for (GList* node = unwanted; node != nullptr; node = node->next) {
    webkit_context_menu_remove(menu, static_cast<WebKitContextMenuItem*>(node->data));
  }
  g_list_free(unwanted);
  if (webkit_context_menu_get_n_items(menu) > 0) {
    webkit_context_menu_append(menu, webkit_context_menu_item_new_separator());
  }
  for (std::size_t i = 0; i < menuItems.size(); ++i) {
    webkit_context_menu_append(
        menu, webkit_context_menu_item_new_from_gaction(G_ACTION(menuActions[i].get()),
                                                        menuItems[i].title.c_str(), nullptr));
  }
}

void WindowChrome::showAbout() {
  // An uninstalled build has no icon in the theme: the dialog then shows none rather than a
  // broken image.
  GtkIconTheme* icons = gtk_icon_theme_get_for_display(gtk_widget_get_display(GTK_WIDGET(window)));
  const char* logo = gtk_icon_theme_has_icon(icons, applicationId) != FALSE ? applicationId : "";
  gtk_show_about_dialog(
      window, "program-name", "Quillfern", "version", QUILLFERN_VERSION, "logo-icon-name", logo,
      "comments",
      "在窗口中运行游戏页面；本地桥（127.0.0.1:9882）把页面的 WebSocket 连接转接到游戏服务器。",
      "license-type", GTK_LICENSE_MIT_X11, nullptr);
}

}  // namespace quillfern::gtk
