// SPDX-License-Identifier: MIT
#include "agent/question_window.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

enum Response { kAllowOnce = 1, kAlwaysAllow, kBlock, kAlwaysBlock };

// A click that was meant for the page under a window that just appeared must not allow anything.
constexpr guint kAllowDelayMs = 500;

struct Window {
  GtkWidget* dialog = nullptr;
  GtkWidget* allowButtons[2] = {};
  int answerFd = -1;
  char answer = 0;
};

void onResponse(GtkDialog*, gint response, gpointer data) {
  auto& window = *static_cast<Window*>(data);
  switch (response) {
    case kAllowOnce: window.answer = 'a'; break;
    case kAlwaysAllow: window.answer = 'A'; break;
    case kAlwaysBlock: window.answer = 'B'; break;
    default: window.answer = 'b';  // Block, Escape, closed
  }
  gtk_main_quit();
}

gboolean enableAllow(gpointer data) {
  for (GtkWidget* button : static_cast<Window*>(data)->allowButtons) gtk_widget_set_sensitive(button, TRUE);
  return G_SOURCE_REMOVE;
}

void onMapped(GtkWidget*, gpointer data) { g_timeout_add(kAllowDelayMs, enableAllow, data); }

// The agent closed its end: the question is no longer asked.
gboolean onWithdrawn(gint, GIOCondition, gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

}  // namespace

int runQuestionWindow(const question_text::Text& text, int answerFd) {
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "tokenbridge-agent: cannot open a window: no display\n");
    return 1;
  }
  Window window;
  window.answerFd = answerFd;
  window.dialog = gtk_dialog_new();
  GtkWindow* shell = GTK_WINDOW(window.dialog);
  gtk_window_set_title(shell, "tokenbridge");
  gtk_window_set_icon_name(shell, "security-high");
  gtk_window_set_position(shell, GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(shell, TRUE);
  gtk_window_set_urgency_hint(shell, TRUE);
  gtk_window_set_resizable(shell, FALSE);

  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(window.dialog));
  gtk_container_set_border_width(GTK_CONTAINER(content), 12);
  gtk_box_set_spacing(GTK_BOX(content), 10);
  GtkWidget* heading = gtk_label_new(nullptr);
  gchar* headingMarkup = g_markup_printf_escaped("<big><b>%s</b></big>", text.title.c_str());
  gtk_label_set_markup(GTK_LABEL(heading), headingMarkup);
  g_free(headingMarkup);
  GtkWidget* body = gtk_label_new(nullptr);
  gtk_label_set_markup(GTK_LABEL(body), text.body.c_str());  // Style::Markup: escaped already
  for (GtkWidget* label : {heading, body}) {
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 64);
    gtk_box_pack_start(GTK_BOX(content), label, FALSE, FALSE, 0);
  }

  window.allowButtons[0] = gtk_dialog_add_button(GTK_DIALOG(window.dialog), "_Allow once", kAllowOnce);
  window.allowButtons[1] = gtk_dialog_add_button(GTK_DIALOG(window.dialog), "Al_ways allow", kAlwaysAllow);
  gtk_dialog_add_button(GTK_DIALOG(window.dialog), "Always _block", kAlwaysBlock);
  GtkWidget* block = gtk_dialog_add_button(GTK_DIALOG(window.dialog), "Block", kBlock);
  gtk_style_context_add_class(gtk_widget_get_style_context(block), GTK_STYLE_CLASS_SUGGESTED_ACTION);  // seen as the default
  for (GtkWidget* button : window.allowButtons) gtk_widget_set_sensitive(button, FALSE);
  gtk_dialog_set_default_response(GTK_DIALOG(window.dialog), kBlock);

  g_signal_connect(window.dialog, "response", G_CALLBACK(onResponse), &window);
  g_signal_connect(window.dialog, "map", G_CALLBACK(onMapped), &window);
  g_unix_fd_add(answerFd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onWithdrawn, nullptr);

  gtk_widget_show_all(window.dialog);
  gtk_widget_grab_focus(block);
  gtk_window_present(shell);
  gtk_main();

  if (window.answer != 0) {
    ssize_t written;
    do {
      written = ::write(answerFd, &window.answer, 1);
    } while (written < 0 && errno == EINTR);
  }
  return 0;
}
