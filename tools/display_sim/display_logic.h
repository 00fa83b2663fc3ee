#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sessions.h"
#include "xml_body.h"

namespace dsim {

// The display's answer to one request, decided without any I/O.

struct LogicConfig {
  std::string user = "admin";
  std::string password = "12345";
  uint64_t freeSpace = uint64_t{1} << 40;
  bool wrongCredentials = false;
};

struct Request {
  std::string method;
  std::string target;
  std::string body;
};

struct Reply {
  int httpStatus = 200;
  std::string contentType;  // empty: no Content-Type header
  std::string body;
  std::string statusCode;  // the ResponseStatus StatusCode, for the journal ("" if none)
};

struct Decision {
  Reply reply;
  std::optional<FetchOrder> fetch;  // downloads to start once the answer has been sent
};

inline constexpr const char* kLoginPath = "/ISAPI/Security/Login";
inline constexpr const char* kUploadPath = "/ISAPI/UploadFile/TemplateConfig";

Decision decideReply(const Request& request, SessionStore& sessions, const LogicConfig& config);

// Helpers of decideReply, exposed for tests.
Reply statusReply(const std::string& path, const std::string& code, const std::string& text);
bool isEmptyBody(const std::string& body);  // nothing but white space

}  // namespace dsim
