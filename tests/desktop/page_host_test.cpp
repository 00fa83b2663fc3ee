#include "app/desktop/page_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "app/app_context.h"
#include "unit/test_support.h"

namespace {

constexpr const char* kOrigin = "https://quillbench";

// Records what the host asks of the view, joined with "|".
struct RecordingView : WebView {
  std::string calls;
  void record(const std::string& call) { calls += (calls.empty() ? "" : "|") + call; }
  void navigate(const std::string& uri) override { record("navigate " + uri); }
  void showHtml(const std::string&) override { record("error page"); }
  void post(const std::string& text) override {
    // The injection's pieces are the script's business, not this test's.
    if (text.rfind("function", 0) != 0) record("post " + text);
  }
  void run(const std::string& script) override {
    // The injection's closing scripts are the same every time; only their count matters here.
    if (script.rfind("loadTranslation", 0) == 0) record(script);
  }
  void pageReady() override { record("ready"); }
};

// Steps, split at "|": "load", "doc URI" ("doc own" is the page), "loaded", "inject" (the page
// fetches every piece), "worker TEXT" (queued by a worker thread; "+" or "=" is whether the
// main thread had to be woken), "deliver", "nav URI" (recorded as allowed or refused), "stop".
std::string play(const std::string& language, bool intact, const std::string& steps) {
  TempAppFolder folder;
  if (intact) {
    std::filesystem::copy_file(QUILLORA_SOURCE_DIR "/web/index.html",
                               folder.file("web/index.html"));
  }
  auto context = makeContext(folder);
  context->language = language;
  RecordingView view;
  PageHost host(*context, [] { return std::string("de-DE"); });
  host.attach(view);
  std::istringstream in(steps);
  for (std::string step; std::getline(in, step, '|');) {
    std::string text = step.substr(step.find(' ') + 1);
    if (step == "load") {
      if (host.pageIsIntact())
        host.load(kOrigin, std::string(kOrigin) + "/index.html");
      else
        host.showErrorPage();
    } else if (step == "doc own") {
      host.onDocument(std::string(kOrigin) + "/index.html");
    } else if (step.rfind("doc ", 0) == 0) {
      host.onDocument(text);
    } else if (step == "loaded") {
      host.onLoadFinished();
    } else if (step == "inject") {
      while (view.calls.find("ready") == std::string::npos) host.onPageMessage(&text);
    } else if (step.rfind("worker ", 0) == 0) {
      view.record(host.workerQueue().push(text) ? "+" : "=");
    } else if (step == "deliver") {
      host.deliverQueued();
    } else if (step.rfind("nav ", 0) == 0) {
      view.record((host.allowsNavigation(text) ? "allowed " : "refused ") + text);
    } else if (step == "stop") {
      host.stop();
    }
  }
  return view.calls;
}

TEST(PageHost, LoadsTheShippedPageAndTalksToItsOwnDocumentsOnly) {
  struct Case {
    const char* name;
    const char* language;
    bool intact;
    const char* steps;
    const char* calls;
  } cases[] = {
      {"a changed page gives the error page", "en", false, "load|doc own|loaded", "error page"},
      {"the page gets its language after each load", "fr", true, "load|doc own|loaded|loaded",
       "navigate https://quillbench/index.html|loadTranslation('fr');|loadTranslation('fr');"},
      {"auto is the user's locale", "auto", true, "load|doc own|loaded",
       "navigate https://quillbench/index.html|loadTranslation('de-DE');"},
      {"another site gets no language", "en", true, "load|doc https://example.org/|loaded",
       "navigate https://quillbench/index.html"},
      {"workers wake the main thread once for what it has not taken yet", "en", true,
       "load|doc own|inject|worker a|worker b|deliver|worker c|deliver",
       "navigate https://quillbench/index.html|ready|+|=|post a|post b|+|post c"},
      {"after stop nothing is queued, delivered or loaded", "en", true,
       "load|doc own|inject|worker a|stop|worker b|deliver|loaded",
       "navigate https://quillbench/index.html|ready|+|="},
      {"only https leaves the page", "en", true,
       "load|nav https://example.org/|nav http://10.0.0.5/|nav file:///C:/x|nav data:text/html,x",
       "navigate https://quillbench/index.html|allowed https://example.org/|"
       "refused http://10.0.0.5/|refused file:///C:/x|refused data:text/html,x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(play(c.language, c.intact, c.steps), c.calls) << c.name;
  }
}

}  // namespace
