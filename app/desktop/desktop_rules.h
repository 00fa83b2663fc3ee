#pragma once

// The desktop program's decisions that need no GTK, kept apart so that they are tested alone.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/file_dialog.h"

struct DesktopOptions {
  std::string folder;  // empty: the executable's folder
  bool automation = false;
};

// Parses the command line; a failure is a usage error.
Result<DesktopOptions> parseDesktopOptions(const std::vector<std::string>& args);

// QUILLORA_DIALOG_ANSWERS=FILE answers the file dialogs from FILE (the format of quillora-cli
// --answers) instead of showing them, for tests; null when the variable is not set. A failure
// when FILE is unusable.
Result<std::unique_ptr<PreparedDialogs>> readDialogAnswers();

inline constexpr const char* kDesktopUsage = "usage: quillora [--folder DIR] [--automation]\n";

using EnvironmentLookup = std::function<const char*(const char* name)>;

// The user's locale name in the page's form ("de_DE.UTF-8" becomes "de-DE") from the first of
// LC_ALL, LC_MESSAGES and LANG that is set; "en" when that names no language ("C", "POSIX")
// or none is set. The result holds only letters, digits and "-".
std::string userLocaleName(const EnvironmentLookup& getenv);

// What the page's loadTranslation() receives: the configured translation folder, or the
// user's locale name (`userLocale()`) for "auto".
std::string pageLanguage(const std::string& configured,
                         const std::function<std::string()>& userLocale);

// The script that hands `language` to the page: "loadTranslation('de-DE');" for a plain name;
// any other text is passed as a quoted string, so that no configured name runs as script.
std::string translationScript(const std::string& language);

// Whether `uri` lies in `ownOrigin` ("http://127.0.0.1:PORT"), whatever its path and however its
// scheme and host are capitalised. No address lies in an empty origin.
bool isOwnOrigin(std::string_view uri, std::string_view ownOrigin);

// Whether the view may go to `uri`: its own origin and every address that starts with
// "https". Everything else (plain HTTP elsewhere, file, data, about:blank) stays out of the
// view.
bool navigationAllowed(std::string_view uri, std::string_view ownOrigin);

// The chooser's patterns for one dialog filter ("*.mp4;*.PNG"). The filters come from a
// system whose file names ignore case, so every pattern is made to match both cases
// ("*.[mM][pP]4"); bracket expressions are kept as written. Duplicates are dropped.
std::vector<std::string> chooserPatterns(std::string_view patterns);
