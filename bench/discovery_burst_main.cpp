// Sends one display probe from the given local addresses and counts the answers that reach
// the page within a time window. Used by bench/discovery_burst.sh inside a network lab.
// Usage: quillora-bench-discovery RCVBUF_BYTES SECONDS ADDRESS...   (RCVBUF 0 = system default)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/app_context.h"
#include "commands/discovery_replies.h"
#include "discovery/discovery_listener.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s RCVBUF_BYTES SECONDS ADDRESS...\n", argv[0]);
    return 1;
  }
  AppConfig config;
  AppContext context("/nonexistent", std::move(config));
  std::atomic<int> answers{0};
  context.page.connect([&](std::string) { answers++; });

  DiscoveryListener listener(37020);
  listener.setWantedReceiveBuffer(std::atoi(argv[1]));
  std::vector<std::string> addresses(argv + 3, argv + argc);
  int sockets = listener.open(addresses);
  auto start = std::chrono::steady_clock::now();
  listener.search([&context](std::string reply) { onDiscoveryReply(context, std::move(reply)); });
  std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[2])));
  listener.close();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sockets=%d rcvbuf=%d answers=%d window_s=%.1f\n", sockets,
              listener.receiveBufferSize(), answers.load(), elapsed);
  return 0;
}
