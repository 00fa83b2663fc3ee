#include "app/desktop/bridge_flow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const char* kScript = "function a(){}\nfunction b(){}\nfunction c(){}\n";

// A page and a dispatcher that write down what reaches them, in order.
struct Recorder {
  std::vector<std::string> events;
  std::function<std::string(const std::string&)> reply = [](const std::string& request) {
    return "re:" + request;
  };

  BridgeFlow::Page page() {
    return {[this](const std::string& text) { events.push_back("post " + text); },
            [this](const char* script) { events.push_back(std::string("run ") + script); }};
  }
  BridgeFlow::Dispatch dispatch() {
    return [this](const std::string& request) {
      events.push_back("dispatch " + request);
      return reply(request);
    };
  }
};

const std::vector<std::string> kInjection = {
    "post function a(){}\n",
    "post function b(){}\n",
    "post function c(){}\n",
    "run window.chrome.webview.removeEventListener(\"message\", init);",
    "run window.chrome.webview.addEventListener(\"message\", (event) =>doMessage(event.data));",
    "run setupDropDownMenu();",
};

void finishInjection(BridgeFlow& flow) {
  const std::string any = "next";
  while (flow.injecting()) flow.onPageMessage(&any);
}

TEST(BridgeFlow, EachOfTheFirstMessagesFetchesAPieceThenRequestsAreDispatched) {
  Recorder page;
  BridgeFlow flow(kScript, page.page(), page.dispatch());
  const std::vector<std::string> sent = {"{\"T\":\"x\"}", "hello", "", "{}"};
  for (const auto& text : sent) flow.onPageMessage(&text);
  std::vector<std::string> expected = kInjection;
  expected.push_back("dispatch {}");
  expected.push_back("post re:{}");
  EXPECT_EQ(page.events, expected);
  EXPECT_FALSE(flow.injecting());
}

TEST(BridgeFlow, AnEmptyReplyPostsNothingAndNonStringsAreNotDispatched) {
  Recorder page;
  page.reply = [](const std::string& request) { return request == "quiet" ? "" : "re"; };
  BridgeFlow flow(kScript, page.page(), page.dispatch());
  // During the injection anything the page sends asks for the next piece.
  flow.onPageMessage(nullptr);
  flow.onPageMessage(nullptr);
  flow.onPageMessage(nullptr);
  EXPECT_EQ(page.events, kInjection);
  page.events.clear();
  flow.onPageMessage(nullptr);
  const std::string quiet = "quiet";
  flow.onPageMessage(&quiet);
  EXPECT_EQ(page.events, std::vector<std::string>{"dispatch quiet"});
}

TEST(BridgeFlow, WorkerMessagesWaitForTheEndOfTheInjection) {
  Recorder page;
  BridgeFlow flow(kScript, page.page(), page.dispatch());
  const std::string any = "next";
  flow.onPageMessage(&any);
  flow.onWorkerMessage("w1");
  flow.onWorkerMessage("w2");
  flow.onPageMessage(&any);
  flow.onPageMessage(&any);
  flow.onWorkerMessage("w3");
  std::vector<std::string> expected = kInjection;
  expected.insert(expected.end(), {"post w1", "post w2", "post w3"});
  EXPECT_EQ(page.events, expected);
}

TEST(BridgeFlow, ARequestArrivingDuringADispatchIsHandledAfterIt) {
  Recorder page;
  BridgeFlow* flowPointer = nullptr;
  const std::string second = "second";
  const std::string third = "third";
  // "first" opens a dialog whose nested main loop delivers two more requests.
  page.reply = [&](const std::string& request) {
    if (request == "first") {
      flowPointer->onPageMessage(&second);
      flowPointer->onPageMessage(&third);
    }
    return "re:" + request;
  };
  BridgeFlow flow(kScript, page.page(), page.dispatch());
  flowPointer = &flow;
  finishInjection(flow);
  page.events.clear();
  const std::string first = "first";
  flow.onPageMessage(&first);
  EXPECT_EQ(page.events,
            (std::vector<std::string>{"dispatch first", "post re:first", "dispatch second",
                                      "post re:second", "dispatch third", "post re:third"}));
}

TEST(BridgeFlow, NothingReachesPageOrDispatcherOnceStopped) {
  Recorder page;
  BridgeFlow* flowPointer = nullptr;
  const std::string queued = "queued";
  // The window is closed while "first" is being handled, with "queued" waiting behind it.
  page.reply = [&](const std::string& request) {
    if (request == "first") {
      flowPointer->onPageMessage(&queued);
      flowPointer->stop();
    }
    return "re:" + request;
  };
  BridgeFlow flow(kScript, page.page(), page.dispatch());
  flowPointer = &flow;
  const std::string any = "next";
  flow.onPageMessage(&any);
  flow.onWorkerMessage("held");
  finishInjection(flow);
  page.events.clear();
  const std::string first = "first";
  flow.onPageMessage(&first);
  flow.onPageMessage(&first);
  flow.onWorkerMessage("late");
  EXPECT_EQ(page.events, std::vector<std::string>{"dispatch first"});
}

TEST(BridgeFlow, StoppedDuringTheInjectionDropsHeldMessages) {
  Recorder page;
  BridgeFlow flow(kScript, page.page(), page.dispatch());
  const std::string any = "next";
  flow.onPageMessage(&any);
  flow.onWorkerMessage("held");
  flow.stop();
  flow.onPageMessage(&any);
  EXPECT_EQ(page.events, std::vector<std::string>{"post function a(){}\n"});
}

}  // namespace
