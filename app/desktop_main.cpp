// quillora: the desktop program. One GTK window holds the embedded view of the page in web/;
// the core behind it is the same as quillora-cli's.

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop/desktop_rules.h"
#include "app/desktop/dialogs.h"
#include "app/desktop/gtk_web_view.h"
#include "app/startup.h"
#include "base/log.h"
#include "platform/executable_path.h"
#include "platform/file_dialog.h"
#include "platform/instance_lock.h"

namespace {

constexpr const char* kWindowClass = "QuillbenchWindow";

// Set by a stop signal or the window going away; the main loop ends, or never starts.
struct RunState {
  GMainLoop* loop = nullptr;
  GtkWidget* window = nullptr;
  GtkWebView* host = nullptr;
  bool quitting = false;
};

void quit(RunState& state) {
  state.quitting = true;
  if (g_main_loop_is_running(state.loop)) g_main_loop_quit(state.loop);
}

gboolean onStopSignal(gpointer data) {
  dismissMessageBox();
  quit(*static_cast<RunState*>(data));
  return G_SOURCE_CONTINUE;
}

GtkWidget* createMainWindow(const AppContext& context, RunState& state) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), kProductName);
  gtk_window_set_default_size(GTK_WINDOW(window), 1280, 720);
  // A missing or unreadable icon leaves the default one.
  GError* iconError = nullptr;
  if (!gtk_window_set_icon_from_file(GTK_WINDOW(window),
                                     (context.pageFolder + "/favicon.ico").c_str(), &iconError)) {
    g_error_free(iconError);
  }
  g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](RunState* run, GtkWidget*) {
                             run->window = nullptr;
                             // The view is gone with the window: nothing more for the page.
                             if (run->host) run->host->stop();
                             quit(*run);
                           }),
                           &state);
  gtk_widget_show(window);
  return window;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parseDesktopOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "quillora: %s\n%s", options.error().c_str(), kDesktopUsage);
    return kExitUsage;
  }
  auto answers = readDialogAnswers();
  if (!answers) {
    std::fprintf(stderr, "quillora: QUILLORA_DIALOG_ANSWERS: %s\n", answers.error().c_str());
    return kExitUsage;
  }
  std::unique_ptr<PreparedDialogs> preparedDialogs = std::move(*answers);
  initDiagLog();
  g_set_prgname(kWindowClass);
  g_set_application_name(kProductName);
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "quillora: cannot open the display\n");
    return kExitUsage;
  }
  // gtk_init took the user's locale; file names still need UTF-8 whatever it says.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<GMainLoop, decltype(&g_main_loop_unref)> loop(g_main_loop_new(nullptr, FALSE),
                                                                g_main_loop_unref);
  RunState state;
  state.loop = loop.get();
  g_unix_signal_add(SIGTERM, onStopSignal, &state);
  g_unix_signal_add(SIGINT, onStopSignal, &state);

  InstanceLock lock;
  lock.setRole("the Quillora window");
  Startup startup =
      startApplication(resolveAppFolders(options->folder, getExecutableFolder(), userEnvironment()),
                       lock, showMessageBox);
  if (startup.exitCode != 0) return startup.exitCode;
  AppContext& context = *startup.context;

  state.window = createMainWindow(context, state);
  GtkWindow* window = GTK_WINDOW(state.window);
  GtkFileDialogs chooser(window);
  context.dialogs = preparedDialogs ? static_cast<FileDialogs*>(preparedDialogs.get()) : &chooser;
  context.openUrl = [](const std::string& url) {
    g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr);
  };

  startNetworkOrWarn(context, [&state](const std::string& text) {
    showMessageBox(text);
    // The window may have been closed while the message was up.
    if (state.window) gtk_window_iconify(GTK_WINDOW(state.window));
  });

  GtkWebView host(context, window, options->automation);
  state.host = &host;
  // The view comes up from the main loop, as it would once the system has a view ready.
  g_idle_add(
      +[](gpointer data) {
        static_cast<GtkWebView*>(data)->start();
        return G_SOURCE_REMOVE;
      },
      &host);
  if (!state.quitting) g_main_loop_run(state.loop);

  host.stop();
  state.host = nullptr;
  context.page.close();
  if (state.window) gtk_widget_destroy(state.window);
  shutdownApplication(context);
  startup.context.reset();
  return 0;
}
