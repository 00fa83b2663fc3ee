#include "app/desktop/dialogs.h"

#include <cstdio>

#include "app/app_context.h"
#include "app/desktop/desktop_rules.h"

namespace {

GtkWidget* openMessageBox = nullptr;

}  // namespace

void showMessageBox(const std::string& text) {
  std::fprintf(stderr, "quillora: %s\n", text.c_str());
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), kProductName);
  openMessageBox = dialog;
  gtk_dialog_run(GTK_DIALOG(dialog));
  openMessageBox = nullptr;
  gtk_widget_destroy(dialog);
}

void dismissMessageBox() {
  if (openMessageBox) gtk_dialog_response(GTK_DIALOG(openMessageBox), GTK_RESPONSE_OK);
}

GtkFileDialogs::GtkFileDialogs(GtkWindow* parent) : parent_(parent) {
  g_object_add_weak_pointer(G_OBJECT(parent_), reinterpret_cast<gpointer*>(&parent_));
}

GtkFileDialogs::~GtkFileDialogs() {
  if (parent_)
    g_object_remove_weak_pointer(G_OBJECT(parent_), reinterpret_cast<gpointer*>(&parent_));
}

std::vector<std::string> GtkFileDialogs::chooseFiles(const std::vector<DialogFilter>& filters,
                                                     bool multiple) {
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      "Open", parent_, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
  GtkFileChooser* files = GTK_FILE_CHOOSER(chooser);
  gtk_file_chooser_set_select_multiple(files, multiple);
  gtk_file_chooser_set_local_only(files, TRUE);
  for (const auto& filter : filters) {
    GtkFileFilter* entry = gtk_file_filter_new();
    gtk_file_filter_set_name(entry, filter.label.c_str());
    for (const auto& pattern : chooserPatterns(filter.patterns)) {
      gtk_file_filter_add_pattern(entry, pattern.c_str());
    }
    gtk_file_chooser_add_filter(files, entry);  // takes the floating reference
  }
  std::vector<std::string> chosen;
  if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    GSList* names = gtk_file_chooser_get_filenames(files);
    for (GSList* item = names; item; item = item->next) {
      chosen.emplace_back(static_cast<char*>(item->data));
    }
    g_slist_free_full(names, g_free);
  }
  g_object_unref(chooser);
  return chosen;
}

std::string GtkFileDialogs::chooseSaveFile(const std::string& suggestedName) {
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      "Save", parent_, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  GtkFileChooser* files = GTK_FILE_CHOOSER(chooser);
  gtk_file_chooser_set_do_overwrite_confirmation(files, TRUE);
  gtk_file_chooser_set_local_only(files, TRUE);
  gtk_file_chooser_set_current_name(files, suggestedName.c_str());
  std::string chosen;
  if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    if (char* name = gtk_file_chooser_get_filename(files)) {
      chosen = name;
      g_free(name);
    }
  }
  g_object_unref(chooser);
  return chosen;
}
