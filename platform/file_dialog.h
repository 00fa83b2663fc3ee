#pragma once

#include <deque>
#include <string>
#include <vector>

// One "file type" entry of an open dialog: a label and its patterns ("*.mp4;*.png").
struct DialogFilter {
  std::string label;
  std::string patterns;
};

// Open-file dialogs. The desktop program shows the system chooser; quillora-cli and tests
// answer from a prepared list.
class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // Chosen full paths; empty when cancelled.
  virtual std::vector<std::string> chooseFiles(const std::vector<DialogFilter>& filters,
                                               bool multiple) = 0;
  // The chosen path to write to; empty when cancelled.
  virtual std::string chooseSaveFile(const std::string& suggestedName) = 0;
};

// Answers dialogs in order; a dialog with no answer left is cancelled.
class PreparedDialogs : public FileDialogs {
 public:
  void addAnswer(std::vector<std::string> paths) { answers_.push_back(std::move(paths)); }
  std::vector<std::string> chooseFiles(const std::vector<DialogFilter>& filters,
                                       bool multiple) override;
  // The first path of the next answer.
  std::string chooseSaveFile(const std::string& suggestedName) override;

 private:
  std::deque<std::vector<std::string>> answers_;
};
