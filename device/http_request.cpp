#include "device/http_request.h"

std::string formatRequest(std::string_view methodAndTarget, HttpHeaders headers,
                          std::string_view body) {
  std::string request(methodAndTarget);
  request += " HTTP/1.1\r\n";
  for (const auto& [name, value] : headers) {
    request.append(name).append(": ").append(value).append("\r\n");
  }
  request += "\r\n";
  request += body;
  return request;
}
