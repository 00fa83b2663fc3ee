#include "app/desktop/bridge_flow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

namespace {

constexpr const char* kOwn = "http://127.0.0.1:41234";
// What the page sees of the whole injection of "function a(){}function b(){}".
constexpr const char* kInjected =
    "post function a(){}|post function b(){}|"
    "run window.chrome.webview.removeEventListener(\"message\", init);|"
    "run window.chrome.webview.addEventListener(\"message\", (event) =>doMessage(event.data));|"
    "run setupDropDownMenu();";

// Steps, split at "|": "doc URI" (the view commits a document; "doc own" is the page),
// "page TEXT", "page?" (not a string), "worker TEXT", "stop". The dispatcher answers "re:TEXT",
// nothing to "quiet"; while it handles "nest", "second" and "third" arrive (a dialog's nested
// main loop); "close" is followed by "queued" and the window closing; during "leave" the view
// goes to another site. Events are joined with "|" too.
struct Session {
  std::string events;
  BridgeFlow flow{"function a(){}function b(){}",
                  {[this](const std::string& text) { record("post " + text); },
                   [this](const char* script) { record(std::string("run ") + script); },
                   [this] { record("ready"); }},
                  [this](const std::string& request) { return dispatch(request); }};

  void record(const std::string& event) { events += (events.empty() ? "" : "|") + event; }

  void run(const std::string& steps) {
    std::istringstream in(steps);
    for (std::string one; std::getline(in, one, '|');) step(one);
  }

  void step(const std::string& step) {
    const std::string text = step.substr(step.find(' ') + 1);
    if (step == "doc own") return flow.onDocument(std::string(kOwn) + "/k3y/index.html");
    if (step.rfind("doc ", 0) == 0) return flow.onDocument(text);
    if (step == "page?") return flow.onPageMessage(nullptr);
    if (step.rfind("page ", 0) == 0) return flow.onPageMessage(&text);
    if (step.rfind("worker ", 0) == 0) return flow.onWorkerMessage(text);
    ASSERT_EQ(step, "stop");
    flow.stop();
  }

  std::string dispatch(const std::string& request) {
    record("dispatch " + request);
    if (request == "nest") run("page second|page third");
    if (request == "close") run("page queued|stop");
    if (request == "leave") run("doc https://example.org/");
    return request == "quiet" ? "" : "re:" + request;
  }
};

TEST(BridgeFlow, InjectsThenDispatchesForThePagesOwnDocumentOnly) {
  struct Case {
    const char* name;
    const char* steps;
    const char* events;  // "INJECTED" for the whole injection
  } cases[] = {
      {"any message fetches a piece, then requests are answered",
       "doc own|page {\"T\":\"x\"}|page |page {}", "INJECTED|ready|dispatch {}|post re:{}"},
      {"non-strings fetch pieces but are no requests; an empty reply posts nothing",
       "doc own|page?|page?|page?|page quiet", "INJECTED|ready|dispatch quiet"},
      {"worker messages wait for the end of the injection",
       "doc own|page a|worker w1|worker w2|page b|worker w3",
       "INJECTED|post w1|post w2|ready|post w3"},
      {"a request arriving during a dispatch is handled after it",
       "doc own|page a|page b|page nest",
       "INJECTED|ready|dispatch nest|post re:nest|dispatch second|post re:second|dispatch third|"
       "post re:third"},
      {"nothing reaches page or dispatcher once stopped",
       "doc own|page a|worker held|page b|page close|page close|worker late",
       "INJECTED|post held|ready|dispatch close"},
      {"stopped during the injection, held messages are dropped",
       "doc own|page a|worker held|stop|page b", "post function a(){}"},
      {"another site's document neither fetches the script nor makes the host act",
       "doc https://example.org/|page a|page b|page {}", ""},
      {"nor does it hear the host, until the page is back",
       "doc own|page a|page b|doc https://example.org/|page {}|worker w|doc own|page {}",
       "INJECTED|ready|dispatch {}|post re:{}"},
      {"a reply is not posted once the view has left the page", "doc own|page a|page b|page leave",
       "INJECTED|ready|dispatch leave"},
  };
  for (const auto& c : cases) {
    Session session;
    session.flow.setOwnOrigin(kOwn);
    session.run(c.steps);
    std::string events = session.events;
    if (events.rfind(kInjected, 0) == 0) events.replace(0, strlen(kInjected), "INJECTED");
    EXPECT_EQ(events, c.events) << c.name;
  }
}

}  // namespace
