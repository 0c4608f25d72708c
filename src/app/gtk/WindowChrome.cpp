#include "app/gtk/WindowChrome.hpp"

#include "app/gtk/Guarded.hpp"
#include "app/gtk/WebKitPageView.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace quillfern::gtk {

namespace {

using namespace std::chrono_literals;

constexpr auto bannerVisible = 2600ms;
constexpr auto bannerFade = 250ms;
constexpr double bannerMaximumWidthShare = 0.8;
constexpr int bannerMinimumHeight = 38;
constexpr int bannerBottomMargin = 12;
constexpr int barMargin = 8;
constexpr const char* bannerClass = "quillfern-banner";

// The look of the window: black behind everything, a translucent dark pill for the buttons,
// dark banners that fade.
constexpr const char* css = R"css(
window.quillfern-window, window.quillfern-window overlay { background-color: black; }
.quillfern-bar {
  background-color: rgba(36, 36, 38, 0.72);
  border-radius: 9px;
  padding: 2px 4px;
  transition: opacity 400ms ease-in-out;
}
.quillfern-bar.faded { opacity: 0; }
.quillfern-bar button {
  color: white;
  font-size: 12px;
  font-weight: 500;
  padding: 8px 10px;
  min-height: 0;
  min-width: 0;
  background: none;
  border: none;
  box-shadow: none;
}
.quillfern-bar button:hover { background-color: rgba(255, 255, 255, 0.12); }
.quillfern-bar button:active { background-color: rgba(255, 255, 255, 0.24); }
.quillfern-banner {
  color: white;
  background-color: rgba(0, 0, 0, 0.78);
  font-size: 13px;
  border-radius: 8px;
  opacity: 1;
  transition: opacity 250ms ease-in-out;
}
.quillfern-banner.fading { opacity: 0; }
.quillfern-notice {
  color: white;
  background-color: rgb(38, 38, 40);
  border-top: 1px solid rgba(255, 255, 255, 0.12);
  font-size: 13px;
  padding: 6px 8px 6px 14px;
}
.quillfern-notice button { padding: 4px 14px; min-height: 0; }
.quillfern-notice button:not(.suggested-action) {
  color: white;
  background: rgba(255, 255, 255, 0.1);
  border: none;
  box-shadow: none;
}
progressbar.quillfern-progress trough,
progressbar.quillfern-progress progress {
  min-height: 3px;
  border: none;
  border-radius: 0;
  box-shadow: none;
}
progressbar.quillfern-progress trough { background: none; }
progressbar.quillfern-progress progress { margin: 0; background-color: rgb(74, 157, 248); }
)css";

}  // namespace

WindowChrome::WindowChrome(GtkWindow* toplevel)
    : window(toplevel),
      overlay(GTK_OVERLAY(g_object_ref_sink(gtk_overlay_new()))),
      column(GTK_BOX(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0))),
      notice(gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6)),
      noticeText(GTK_LABEL(gtk_label_new(nullptr))),
      noticeButtons(GTK_BOX(gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6))),
      progress(GTK_PROGRESS_BAR(gtk_progress_bar_new())),
      style(gtk_css_provider_new()),
      shortcuts(gtk_shortcut_controller_new()),
      pointer(gtk_event_controller_motion_new()) {
  gtk_css_provider_load_from_data(style, css, -1);
  gtk_style_context_add_provider_for_display(gtk_widget_get_display(GTK_WIDGET(window)),
                                             GTK_STYLE_PROVIDER(style),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_widget_add_css_class(GTK_WIDGET(window), "quillfern-window");
  gtk_widget_set_size_request(GTK_WIDGET(window), WindowState::minimumWidth,
                              WindowState::minimumHeight);
  gtk_window_set_child(window, GTK_WIDGET(overlay));
  gtk_overlay_set_child(overlay, GTK_WIDGET(column));
  buildNotice();
  connect(overlay, "get-child-position", G_CALLBACK(placeBanner), this);
  addWindowKeys();
  followFullscreen();
}

WindowChrome::~WindowChrome() {
  gtk_widget_remove_controller(GTK_WIDGET(window), shortcuts);
  gtk_widget_remove_controller(GTK_WIDGET(window), pointer);
  for (const Connection& connection : connections) {
    g_signal_handler_disconnect(connection.object, connection.handler);
    g_object_unref(connection.object);
  }
  gtk_style_context_remove_provider_for_display(gtk_widget_get_display(GTK_WIDGET(overlay)),
                                                GTK_STYLE_PROVIDER(style));
  g_object_unref(style);
  g_object_unref(overlay);
}

void WindowChrome::connect(gpointer object, const char* signal, GCallback callback, gpointer data) {
  connections.push_back(
      {G_OBJECT(g_object_ref(object)), g_signal_connect(object, signal, callback, data)});
}

std::unique_ptr<WebView> WindowChrome::createWebView(const WebViewConfiguration& configuration,
                                                     WebViewDelegate& delegate) {
  auto pageView = std::make_unique<WebKitPageView>(configuration, delegate);
  page = pageView->widget();
  gtk_box_prepend(column, page);  // above the notice
  gtk_widget_grab_focus(page);
  followLoading(WEBKIT_WEB_VIEW(page));
  return pageView;
}

void WindowChrome::createControlBar(std::vector<ChromeAction> buttons) {
  barButtons = std::move(buttons);
  bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 2);
  gtk_widget_add_css_class(bar, "quillfern-bar");
  gtk_widget_set_halign(bar, GTK_ALIGN_END);
  gtk_widget_set_valign(bar, GTK_ALIGN_START);
  gtk_widget_set_margin_top(bar, barMargin);
  gtk_widget_set_margin_end(bar, barMargin);
  gtk_widget_set_overflow(bar, GTK_OVERFLOW_HIDDEN);
  for (ChromeAction& button : barButtons) {
    GtkWidget* widget = gtk_button_new_with_label(button.title.c_str());
    gtk_widget_set_focus_on_click(widget, FALSE);  // keys stay with the game
    connect(widget, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
              guarded([&] { static_cast<ChromeAction*>(data)->action(); });
            }),
            &button);
    gtk_box_append(GTK_BOX(bar), widget);
    for (const std::string& key : button.keys) {
      addShortcut(key.c_str(), gtk_callback_action_new(
                                   +[](GtkWidget*, GVariant*, gpointer data) {
                                     guarded([&] { static_cast<ChromeAction*>(data)->action(); });
                                     return gboolean{TRUE};
                                   },
                                   &button, nullptr));
    }
  }
  gtk_overlay_add_overlay(overlay, bar);  // above the web view
}

void WindowChrome::showBanner(std::string_view message) {
  GtkWidget* label = gtk_label_new(std::string(message).c_str());
  gtk_widget_add_css_class(label, bannerClass);
  gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_lines(GTK_LABEL(label), 2);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_widget_set_can_target(label, FALSE);  // clicks go through to the game
  gtk_overlay_add_overlay(overlay, label);  // above the bar and every earlier banner

  const std::shared_ptr<GtkWidget> held(GTK_WIDGET(g_object_ref(label)), g_object_unref);
  timers.runAfter(bannerVisible, [this, held] {
    gtk_widget_add_css_class(held.get(), "fading");
    timers.runAfter(bannerFade, [this, held] { removeBanner(held.get()); });
  });
}

void WindowChrome::removeBanner(GtkWidget* label) {
  if (gtk_widget_get_parent(label) == GTK_WIDGET(overlay)) {
    gtk_overlay_remove_overlay(overlay, label);
  }
}

// Places a banner: centred, 12 px above the bottom of the page (so above the notice), as wide
// as its text up to 80 % of the window (wrapping to two lines beyond that), and at least 38 px
// high. Other children keep their own alignment.
gboolean WindowChrome::placeBanner(GtkOverlay* overlay, GtkWidget* child, GdkRectangle* allocation,
                                   gpointer self) {
  if (!gtk_widget_has_css_class(child, bannerClass)) {
    return FALSE;
  }
  GtkWidget* noticeBar = static_cast<WindowChrome*>(self)->notice;
  const int width = gtk_widget_get_width(GTK_WIDGET(overlay));
  const int height = gtk_widget_get_height(GTK_WIDGET(overlay))
                     - (gtk_widget_get_visible(noticeBar) ? gtk_widget_get_height(noticeBar) : 0);
  const int widest = static_cast<int>(std::floor(width * bannerMaximumWidthShare));
  int minimum = 0;
  int natural = 0;
  gtk_widget_measure(child, GTK_ORIENTATION_HORIZONTAL, -1, &minimum, &natural, nullptr, nullptr);
  const int bannerWidth = std::max(minimum, std::min(natural, widest));
  gtk_widget_measure(child, GTK_ORIENTATION_VERTICAL, bannerWidth, &minimum, &natural, nullptr,
                     nullptr);
  const int bannerHeight = std::max(bannerMinimumHeight, natural);
  allocation->x = (width - bannerWidth) / 2;
  allocation->y = height - bannerBottomMargin - bannerHeight;
  allocation->width = bannerWidth;
  allocation->height = bannerHeight;
  return TRUE;
}

}  // namespace quillfern::gtk
