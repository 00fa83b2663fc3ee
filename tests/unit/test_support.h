#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AppContext;

// A fresh application folder under /tmp (config.yaml, web/ and its runtime folders),
// removed with everything in it when the object goes.
class TempAppFolder {
 public:
  TempAppFolder();
  ~TempAppFolder();
  TempAppFolder(const TempAppFolder&) = delete;
  TempAppFolder& operator=(const TempAppFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  void write(const std::string& relative, const std::string& content) const;
  // Names and contents, by turns.
  void write(std::initializer_list<std::string> files) const;
  std::string read(const std::string& relative) const;
  bool exists(const std::string& relative) const;

 private:
  std::string path_;
};

// The context of the folder as the program would start it; null (and a test failure) when its
// config.yaml does not load.
std::unique_ptr<AppContext> makeContext(const TempAppFolder& folder);

// What the page is sent, from whichever thread sends it.
class PageMessages {
 public:
  explicit PageMessages(AppContext& context);
  // Every message so far, once `count` have come or after `limit`.
  std::vector<std::string> await(size_t count,
                                 std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Every message so far; they are forgotten.
  std::vector<std::string> take();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;
};

inline constexpr const char* kTestConfig =
    "notification:\n  port: 18089\nsearch:\n  port: 13702\nlanguage: auto\n";
