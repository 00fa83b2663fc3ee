#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "platform/file_dialog.h"

// A start-up message box: title "Quillora", the text, one OK button, no owner window. The
// text also goes to stderr, where it is seen when nobody watches the screen.
void showMessageBox(const std::string& text);

// Closes the message box on screen as if OK were pressed (a stop signal during start-up).
void dismissMessageBox();

// The system's file chooser, with the core's filters and multiple selection when asked.
class GtkFileDialogs : public FileDialogs {
 public:
  // The chooser stays above `parent` for as long as that window exists.
  explicit GtkFileDialogs(GtkWindow* parent);
  ~GtkFileDialogs() override;
  GtkFileDialogs(const GtkFileDialogs&) = delete;
  GtkFileDialogs& operator=(const GtkFileDialogs&) = delete;

  std::vector<std::string> chooseFiles(const std::vector<DialogFilter>& filters,
                                       bool multiple) override;
  std::string chooseSaveFile(const std::string& suggestedName) override;

 private:
  GtkWindow* parent_;  // cleared by GObject when the window goes
};
