#include "platform/file_dialog.h"

std::vector<std::string> PreparedDialogs::chooseFiles(const std::vector<DialogFilter>&,
                                                      bool multiple) {
  if (answers_.empty()) return {};
  std::vector<std::string> answer = std::move(answers_.front());
  answers_.pop_front();
  // A single-selection dialog can only ever return one file.
  if (!multiple && answer.size() > 1) answer.resize(1);
  return answer;
}

std::string PreparedDialogs::chooseSaveFile(const std::string&) {
  if (answers_.empty()) return {};
  std::vector<std::string> answer = std::move(answers_.front());
  answers_.pop_front();
  return answer.empty() ? std::string() : answer.front();
}
