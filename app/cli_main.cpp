// quillora-cli: the headless front end. Page requests come from the command line or stdin;
// every message the page would receive is printed as one JSON line on stdout.

#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/cli_options.h"
#include "app/startup.h"
#include "base/log.h"
#include "commands/dispatcher.h"
#include "platform/console.h"
#include "platform/executable_path.h"
#include "platform/file_dialog.h"
#include "platform/instance_lock.h"
#include "platform/stream_send.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) {
  stopSignal = 1;
}

// Prints page messages one per line, from any thread, and notices the --until text.
class LineWriter {
 public:
  explicit LineWriter(std::string until) : until_(std::move(until)) {}

  void write(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (!until_.empty() && line.find(until_) != std::string::npos) {
      seen_ = true;
      changed_.notify_all();
    }
  }

  // Waits for the --until text (bounded by `seconds` when `bounded`), or a stop signal.
  void wait(bool bounded, double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    std::unique_lock lock(mutex_);
    while (!stopSignal && !(seen_ && !until_.empty())) {
      auto now = std::chrono::steady_clock::now();
      if (bounded && now >= deadline) return;
      auto step = std::chrono::milliseconds(50);
      changed_.wait_for(
          lock,
          bounded ? std::min<std::chrono::steady_clock::duration>(step, deadline - now) : step);
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string until_;
  bool seen_ = false;
};

void dispatchAndPrint(AppContext& context, LineWriter& writer, const std::string& request) {
  std::string reply = dispatchPageMessage(context, request);
  if (!reply.empty()) writer.write(reply);
}

void runRequests(AppContext& context, LineWriter& writer,
                 const std::vector<std::string>& requests) {
  for (const auto& request : requests) {
    if (request != "-") {
      dispatchAndPrint(context, writer, request);
      continue;
    }
    std::string line;
    while (!stopSignal && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) dispatchAndPrint(context, writer, line);
    }
  }
}

// Requests are read on a thread of their own, so that a signal ends the host whether or not
// standard input is open; a request under way is finished first.
int serve(AppContext& context, LineWriter& writer, std::vector<std::string> requests) {
  // Never destroyed: it stays locked while the program ends, with the reader still blocked.
  static std::mutex& dispatching = *new std::mutex;
  if (requests.empty()) requests.push_back("-");
  std::thread([&context, &writer, requests] {
    for (const auto& request : requests) {
      if (request != "-") {
        std::lock_guard lock(dispatching);
        dispatchAndPrint(context, writer, request);
        continue;
      }
      std::string line;
      while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::lock_guard lock(dispatching);
        if (!line.empty() && !stopSignal) dispatchAndPrint(context, writer, line);
      }
    }
  }).detach();
  writer.wait(false, 0);
  dispatching.lock();
  shutdownApplication(context);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  useBinaryStandardStreams();
  auto options = parseCliOptions(commandLineArguments(argc, argv));
  if (!options) {
    std::fprintf(stderr, "quillora-cli: %s\n%s", options.error().c_str(), kCliUsage);
    return kExitUsage;
  }
  if (options->help || options->version) {
    if (options->help)
      std::printf("%s%s", kCliUsage, kCliHelp);
    else
      std::printf("%s", kCliVersion);
    return 0;
  }
  initDiagLog();
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
  ignoreBrokenPipes();

  ShowMessage toStderr = [](const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
  };
  InstanceLock lock;
  lock.setRole(options->serve ? "quillora-cli --serve" : "quillora-cli");
  Startup startup = startApplication(
      resolveAppFolders(options->folder, getExecutableFolder(), userEnvironment()), lock, toStderr);
  if (startup.exitCode != 0) return startup.exitCode;
  AppContext& context = *startup.context;

  PreparedDialogs dialogs;
  for (auto& answer : options->answers) dialogs.addAnswer(std::move(answer));
  context.dialogs = &dialogs;
  LineWriter writer(options->until);
  context.page.connect([&writer](std::string text) { writer.write(text); });
  // Headless: there is no browser to show a display's own page in, so say what would open.
  context.openUrl = [](const std::string& url) {
    std::fprintf(stderr, "quillora-cli: open %s\n", url.c_str());
  };

  startNetworkOrWarn(context, toStderr, options->serve);
  if (options->serve) return serve(context, writer, options->messages);
  runRequests(context, writer, options->messages);
  if (!options->until.empty() || options->waitSeconds > 0) {
    writer.wait(options->until.empty() || options->waitGiven, options->waitSeconds);
  }
  shutdownApplication(context);
  return 0;
}
