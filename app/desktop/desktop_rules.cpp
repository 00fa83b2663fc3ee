#include "app/desktop/desktop_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "app/cli_options.h"

namespace {

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiAlnum(char c) {
  return isAsciiLetter(c) || (c >= '0' && c <= '9');
}

// "de_DE.UTF-8@euro" → "de-DE"; empty when the value names no language.
std::string toPageLocale(std::string_view posix) {
  posix = posix.substr(0, posix.find_first_of(".@"));
  std::string_view language = posix.substr(0, posix.find('_'));
  bool languageOk = language.size() >= 2 && language.size() <= 3 &&
                    std::all_of(language.begin(), language.end(), isAsciiLetter);
  if (!languageOk) return {};
  std::string result(language);
  if (language.size() < posix.size()) {
    std::string_view region = posix.substr(language.size() + 1);
    if (region.empty() || !std::all_of(region.begin(), region.end(), isAsciiAlnum)) return {};
    result += "-";
    result += region;
  }
  return result;
}

}  // namespace

Result<DesktopOptions> parseDesktopOptions(const std::vector<std::string>& args) {
  DesktopOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--automation") {
      options.automation = true;
    } else if (args[i] == "--folder") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return failure("--folder needs a folder");
      options.folder = args[++i];
    } else {
      return failure("unexpected argument " + args[i]);
    }
  }
  return options;
}

Result<std::unique_ptr<PreparedDialogs>> readDialogAnswers() {
  const char* file = std::getenv("QUILLORA_DIALOG_ANSWERS");
  if (!file || !*file) return nullptr;
  auto parsed = parseCliOptions({"--answers", file});
  if (!parsed) return failure(parsed.error());
  auto prepared = std::make_unique<PreparedDialogs>();
  for (auto& answer : parsed->answers) prepared->addAnswer(std::move(answer));
  return prepared;
}

std::string userLocaleName(const EnvironmentLookup& getenv) {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (!value || !*value) continue;
    std::string locale = toPageLocale(value);
    return locale.empty() ? "en" : locale;
  }
  return "en";
}

std::string pageLanguage(const std::string& configured,
                         const std::function<std::string()>& userLocale) {
  return configured == "auto" ? userLocale() : configured;
}

std::string translationScript(const std::string& language) {
  bool plain = !language.empty() && std::all_of(language.begin(), language.end(), [](char c) {
    return isAsciiAlnum(c) || c == '-' || c == '_' || c == '.';
  });
  if (plain) return "loadTranslation('" + language + "');";
  return "loadTranslation(" + nlohmann::json(language).dump(-1, ' ', true) + ");";
}

bool navigationAllowed(std::string_view uri, std::string_view ownOrigin) {
  return uri.substr(0, 5) == "https" || isOwnOrigin(uri, ownOrigin);
}

bool isOwnOrigin(std::string_view uri, std::string_view ownOrigin) {
  // Scheme and host ignore case: WebView2 reports "https://Quillbench" as "https://quillbench".
  auto sameLetter = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  if (ownOrigin.empty() || uri.size() < ownOrigin.size() ||
      !std::equal(ownOrigin.begin(), ownOrigin.end(), uri.begin(), sameLetter)) {
    return false;
  }
  // "http://127.0.0.1:80" must not admit "http://127.0.0.1:8080" or "...:80@elsewhere".
  return uri.size() == ownOrigin.size() ||
         std::string_view("/?#").find(uri[ownOrigin.size()]) != std::string_view::npos;
}

std::vector<std::string> chooserPatterns(std::string_view patterns) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start <= patterns.size()) {
    size_t end = std::min(patterns.find(';', start), patterns.size());
    std::string_view pattern = patterns.substr(start, end - start);
    start = end + 1;
    while (!pattern.empty() && pattern.front() == ' ') pattern.remove_prefix(1);
    while (!pattern.empty() && pattern.back() == ' ') pattern.remove_suffix(1);
    if (pattern.empty()) continue;
    std::string folded;
    bool inBracket = false;
    for (char c : pattern) {
      if (inBracket || !isAsciiLetter(c)) {
        if (c == '[') inBracket = true;
        if (c == ']') inBracket = false;
        folded += c;
        continue;
      }
      folded += '[';
      folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      folded += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      folded += ']';
    }
    if (std::find(result.begin(), result.end(), folded) == result.end()) result.push_back(folded);
  }
  return result;
}
