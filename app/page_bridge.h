#pragma once

#include <functional>
#include <mutex>
#include <string>

// Where messages for the page go. The desktop program queues them on the GTK main loop,
// quillora-cli prints them; either way a sender never waits for the UI thread.
class PageChannel {
 public:
  using Deliver = std::function<void(std::string)>;

  void connect(Deliver deliver);
  // After close() every send is dropped; shutdown calls it first so that no worker thread
  // can hold shutdown up.
  void close();
  void send(std::string text);

 private:
  std::mutex mutex_;
  Deliver deliver_;
  bool closed_ = false;
};

struct AppContext;

// The only way for any thread to reach the page. Safe from every thread.
void sendToPage(AppContext& context, std::string text);
