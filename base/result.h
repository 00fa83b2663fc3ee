#pragma once

#include <string>
#include <utility>
#include <version>

// What an operation that can fail for a reason returns: its value, or a sentence for the
// operator saying why not. Absence that is no failure stays std::optional.

#if defined(__cpp_lib_expected)

#include <expected>

template <class T = void>
using Result = std::expected<T, std::string>;
using Failure = std::unexpected<std::string>;

#else

// clang before 16 cannot use GCC 12's std::expected (the fuzz build): the part of it used
// here, with the same meaning.
class Failure {
 public:
  explicit Failure(std::string why) : why_(std::move(why)) {}
  const std::string& error() const { return why_; }

 private:
  std::string why_;
};

template <class T = void>
class Result {
 public:
  Result(T value) : value_(std::move(value)), ok_(true) {}
  Result(Failure failure) : error_(failure.error()) {}
  explicit operator bool() const { return ok_; }
  bool has_value() const { return ok_; }
  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }
  const std::string& error() const { return error_; }
  T value_or(T fallback) const { return ok_ ? value_ : fallback; }

 private:
  T value_{};
  std::string error_;
  bool ok_ = false;
};

template <>
class Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : error_(failure.error()), ok_(false) {}
  explicit operator bool() const { return ok_; }
  bool has_value() const { return ok_; }
  const std::string& error() const { return error_; }
  friend bool operator==(const Result& result, const Failure& failure) {
    return !result.ok_ && result.error_ == failure.error();
  }

 private:
  std::string error_;
  bool ok_ = true;
};

#endif

inline Failure failure(std::string why) {
  return Failure(std::move(why));
}
