#include "xml_text.h"

namespace dsim {
namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + xmlEscape(text) + "</" + name + ">";
}

}  // namespace

std::string xmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Characters XML 1.0 cannot carry at all are dropped.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
        out.push_back(c);
    }
  }
  return out;
}

std::string responseStatusXml(const std::string& requestUrl, const std::string& statusCode,
                              const std::string& statusString,
                              const std::vector<std::pair<std::string, std::string>>& extra) {
  std::string xml = kDeclaration;
  xml += "<ResponseStatus version=\"2.0\">";
  xml += element("RequestURL", requestUrl);
  xml += element("StatusCode", statusCode);
  xml += element("StatusString", statusString);
  for (const auto& [name, text] : extra) xml += element(name, text);
  xml += "</ResponseStatus>\n";
  return xml;
}

std::string malformedXml(const std::string& requestUrl) {
  return std::string(kDeclaration) + "<ResponseStatus version=\"2.0\">" +
         element("RequestURL", requestUrl) + "<StatusCode>200";
}

std::string fetchResultXml(size_t total, size_t succeeded, size_t failed) {
  return std::string(kDeclaration) + "<NotifyFetchResult>" +
         element("TotalCount", std::to_string(total)) +
         element("SucceedCount", std::to_string(succeeded)) +
         element("FailedCount", std::to_string(failed)) + "</NotifyFetchResult>\n";
}

std::string firmwareResultXml(size_t total, size_t succeeded) {
  std::string code = "200", text = "OK";
  if (total == 0) {
    code = "400";
    text = "No FetchURL";
  } else if (succeeded < total) {
    code = "500";
    text = "Download Failed";
  }
  return std::string(kDeclaration) + "<NotifyFetchFirmware>" + element("StatusCode", code) +
         element("StatusString", text) + "</NotifyFetchFirmware>\n";
}

}  // namespace dsim
