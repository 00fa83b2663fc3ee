#include "app/desktop/bridge_flow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const char* kOwn = "http://127.0.0.1:41234";
constexpr const char* kPage = "doc http://127.0.0.1:41234/k3y/index.html";
constexpr const char* kScript = "function a(){}\nfunction b(){}\nfunction c(){}\n";
const std::vector<std::string> kInjected = {
    "post function a(){}\n",
    "post function b(){}\n",
    "post function c(){}\n",
    "run window.chrome.webview.removeEventListener(\"message\", init);",
    "run window.chrome.webview.addEventListener(\"message\", (event) =>doMessage(event.data));",
    "run setupDropDownMenu();",
};

// Runs `steps` on a fresh flow and returns what reached the page and the dispatcher, with
// "INJECTED" in `expected` standing for the whole injection. Steps: "doc URI" (the view
// commits a document), "page TEXT", "page?" (not a string), "worker TEXT", "stop". The
// dispatcher answers "re:TEXT", nothing to "quiet"; while it handles "nest", "second" and
// "third" arrive (a dialog's nested main loop); "close" is followed by "queued" and the window
// closing; during "leave" the view goes to another site.
struct Session {
  std::vector<std::string> events;
  BridgeFlow flow{kScript,
                  {[this](const std::string& text) { events.push_back("post " + text); },
                   [this](const char* script) { events.push_back(std::string("run ") + script); }},
                  [this](const std::string& request) { return dispatch(request); }};

  void step(const std::string& step) {
    if (step.rfind("doc ", 0) == 0) {
      flow.onDocument(step.substr(4));
    } else if (step == "page?") {
      flow.onPageMessage(nullptr);
    } else if (step.rfind("page ", 0) == 0) {
      const std::string text = step.substr(5);
      flow.onPageMessage(&text);
    } else if (step.rfind("worker ", 0) == 0) {
      flow.onWorkerMessage(step.substr(7));
    } else {
      ASSERT_EQ(step, "stop");
      flow.stop();
    }
  }

  std::string dispatch(const std::string& request) {
    events.push_back("dispatch " + request);
    if (request == "nest") {
      step("page second");
      step("page third");
    } else if (request == "close") {
      step("page queued");
      step("stop");
    } else if (request == "leave") {
      step("doc https://example.org/");
    }
    return request == "quiet" ? "" : "re:" + request;
  }
};

TEST(BridgeFlow, InjectsThenDispatchesForThePagesOwnDocumentOnly) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    std::vector<std::string> expected;
  } cases[] = {
      {"any message fetches a piece, then requests are answered",
       {kPage, "page {\"T\":\"x\"}", "page hello", "page ", "page {}"},
       {"INJECTED", "dispatch {}", "post re:{}"}},
      {"non-strings fetch pieces but are no requests; an empty reply posts nothing",
       {kPage, "page?", "page?", "page?", "page?", "page quiet"},
       {"INJECTED", "dispatch quiet"}},
      {"worker messages wait for the end of the injection",
       {kPage, "page a", "worker w1", "worker w2", "page b", "page c", "worker w3"},
       {"INJECTED", "post w1", "post w2", "post w3"}},
      {"a request arriving during a dispatch is handled after it",
       {kPage, "page a", "page b", "page c", "page nest"},
       {"INJECTED", "dispatch nest", "post re:nest", "dispatch second", "post re:second",
        "dispatch third", "post re:third"}},
      {"nothing reaches page or dispatcher once stopped",
       {kPage, "page a", "worker held", "page b", "page c", "page close", "page close",
        "worker late"},
       {"INJECTED", "post held", "dispatch close"}},
      {"stopped during the injection, held messages are dropped",
       {kPage, "page a", "worker held", "stop", "page b"},
       {"post function a(){}\n"}},
      {"another site's document neither fetches the script nor makes the host act",
       {"doc https://example.org/", "page a", "page b", "page c", "page {}"},
       {}},
      {"nor does it hear the host, until the page is back",
       {kPage, "page a", "page b", "page c", "doc https://example.org/", "page {}", "worker w",
        kPage, "page {}"},
       {"INJECTED", "dispatch {}", "post re:{}"}},
      {"a page on another port of the same host is another origin",
       {"doc http://127.0.0.1:4123/k3y/index.html", "page a", "page b", "page c", "page {}"},
       {}},
      {"a reply is not posted once the view has left the page",
       {kPage, "page a", "page b", "page c", "page leave"},
       {"INJECTED", "dispatch leave"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session run;
    run.flow.setOwnOrigin(kOwn);
    for (const auto& step : c.steps) run.step(step);
    std::vector<std::string> expected;
    for (const auto& event : c.expected) {
      if (event == "INJECTED") {
        expected.insert(expected.end(), kInjected.begin(), kInjected.end());
      } else {
        expected.push_back(event);
      }
    }
    EXPECT_EQ(run.events, expected);
  }
}

}  // namespace
