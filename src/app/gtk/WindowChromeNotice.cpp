// The notice bar below the page and the loading indicator along the top edge.
#include "app/gtk/Guarded.hpp"
#include "app/gtk/WindowChrome.hpp"

#include <string>

namespace quillfern::gtk {

namespace {

void onNoticeButton(GtkButton* /*button*/, gpointer data) {
  guarded([&] {
    // A copy: the press may replace the notice, and this button's action with it.
    const auto action = static_cast<ChromeAction*>(data)->action;
    action();
  });
}

void deleteAction(gpointer data, GClosure* /*closure*/) {
  delete static_cast<ChromeAction*>(data);
}

// The bar shows while the main frame loads, as far as the engine thinks it has come.
void onLoadingChanged(WebKitWebView* view, GParamSpec* /*property*/, gpointer progress) {
  const bool loading = webkit_web_view_is_loading(view) != FALSE;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress),
                                webkit_web_view_get_estimated_load_progress(view));
  gtk_widget_set_visible(GTK_WIDGET(progress), loading ? TRUE : FALSE);
}

}  // namespace

// A bar in the column below the page, not an overlay: the page gives up the room, so the
// notice never covers the game that the fallback page may still start.
void WindowChrome::buildNotice() {
  gtk_widget_add_css_class(notice, "quillfern-notice");
  gtk_label_set_wrap(noticeText, TRUE);
  gtk_label_set_xalign(noticeText, 0);
  gtk_widget_set_hexpand(GTK_WIDGET(noticeText), TRUE);
  gtk_widget_set_valign(GTK_WIDGET(noticeButtons), GTK_ALIGN_CENTER);
  gtk_box_append(GTK_BOX(notice), GTK_WIDGET(noticeText));
  gtk_box_append(GTK_BOX(notice), GTK_WIDGET(noticeButtons));
  gtk_widget_set_visible(notice, FALSE);
  gtk_box_append(column, notice);

  gtk_widget_add_css_class(GTK_WIDGET(progress), "quillfern-progress");
  gtk_widget_set_valign(GTK_WIDGET(progress), GTK_ALIGN_START);
  gtk_widget_set_can_target(GTK_WIDGET(progress), FALSE);
  gtk_widget_set_visible(GTK_WIDGET(progress), FALSE);
  gtk_overlay_add_overlay(overlay, GTK_WIDGET(progress));
}

void WindowChrome::followLoading(WebKitWebView* view) {
  connect(view, "notify::is-loading", G_CALLBACK(onLoadingChanged), progress);
  connect(view, "notify::estimated-load-progress", G_CALLBACK(onLoadingChanged), progress);
}

void WindowChrome::showNotice(std::string_view message, std::vector<ChromeAction> buttons) {
  gtk_label_set_text(noticeText, std::string(message).c_str());
  while (GtkWidget* old = gtk_widget_get_first_child(GTK_WIDGET(noticeButtons))) {
    gtk_box_remove(noticeButtons, old);
  }
  for (ChromeAction& button : buttons) {
    GtkWidget* widget = gtk_button_new_with_label(button.title.c_str());
    gtk_widget_set_focus_on_click(widget, FALSE);  // keys stay with the game
    if (gtk_widget_get_first_child(GTK_WIDGET(noticeButtons)) == nullptr) {
      gtk_widget_add_css_class(widget, "suggested-action");  // the first is the way forward
    }
    // The button owns its action, so a press after the chrome is gone finds it still there.
    g_signal_connect_data(widget, "clicked", G_CALLBACK(onNoticeButton),
                          new ChromeAction(std::move(button)), deleteAction, GConnectFlags{});
    gtk_box_append(noticeButtons, widget);
  }
  gtk_widget_set_visible(notice, TRUE);
}

void WindowChrome::hideNotice() {
  gtk_widget_set_visible(notice, FALSE);
}

}  // namespace quillfern::gtk
