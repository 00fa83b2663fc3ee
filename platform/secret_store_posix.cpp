#include "platform/secret_store.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

namespace {

const SecretSchema* loginSchema() {
  static const SecretSchema schema = {
      "org.quillora.DisplayLogin",
      SECRET_SCHEMA_NONE,
      {{"login", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr};
  return &schema;
}

// Without a session bus, libsecret would try to start one: a host without a desktop session
// has no secret service, and says so at once.
Result<> sessionBus() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat info {};
  if ((bus && *bus) ||
      (runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0))
    return {};
  return failure("no secret service runs for this user (there is no session bus)");
}

Failure secretFailure(GError* error) {
  std::string why = "the secret service refused: ";
  why += error ? error->message : "no reason given";
  if (error) g_error_free(error);
  return failure(why);
}

}  // namespace

Result<> storeLogin(const std::string& name, const Login& login) {
  if (Result<> bus = sessionBus(); !bus) return bus;
  const std::string secret = nlohmann::json{{"user", login.user}, {"pass", login.pass}}.dump();
  const std::string label = "Quillora display login " + name;
  GError* error = nullptr;
  if (!secret_password_store_sync(loginSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                  secret.c_str(), nullptr, &error, "login", name.c_str(), nullptr))
    return secretFailure(error);
  return {};
}

Result<Login> findLogin(const std::string& name) {
  if (Result<> bus = sessionBus(); !bus) return Failure(bus.error());
  GError* error = nullptr;
  gchar* secret =
      secret_password_lookup_sync(loginSchema(), nullptr, &error, "login", name.c_str(), nullptr);
  if (error) return secretFailure(error);
  if (!secret) return failure("the secret service keeps no login named " + name);
  const auto parsed = nlohmann::json::parse(secret, nullptr, false);
  secret_password_free(secret);
  if (!parsed.is_object() || !parsed.value("user", nlohmann::json()).is_string() ||
      !parsed.value("pass", nlohmann::json()).is_string())
    return failure("the login named " + name + " in the secret service is not one of ours");
  return Login{parsed["user"], parsed["pass"]};
}

void forgetLogin(const std::string& name) {
  if (!sessionBus()) return;
  GError* error = nullptr;
  secret_password_clear_sync(loginSchema(), nullptr, &error, "login", name.c_str(), nullptr);
  if (error) g_error_free(error);
}

Result<std::string> readPrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failure("cannot open the credentials file " + path);
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* open) {
    ::close(*open);
    delete open;
  });
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    return failure("the credentials file " + path + " is not a regular file");
  if (info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)
    return failure("the credentials file " + path +
                   " must belong to this user and be readable by no one else (chmod 600)");
  constexpr off_t kLargest = 1 << 20;
  if (info.st_size > kLargest) return failure("the credentials file " + path + " is too large");
  std::string text(static_cast<size_t>(info.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n <= 0) return failure("cannot read the credentials file " + path);
    got += static_cast<size_t>(n);
  }
  return text;
}
