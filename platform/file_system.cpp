// The parts of ReadOnlyFile that are the same on every system.

#include "platform/file_system.h"

#include <utility>

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept {
  *this = std::move(other);
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
    path_ = std::move(other.path_);
    size_ = other.size_;
    modified_ = other.modified_;
    regular_ = std::exchange(other.regular_, false);
    forbidden_ = other.forbidden_;
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
  close();
}
