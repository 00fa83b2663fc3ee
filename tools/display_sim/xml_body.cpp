#include "xml_body.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <memory>

namespace dsim {
namespace {

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

DocPtr parse(const std::string& body) {
  if (body.empty() || body.size() > 0x7FFFFFFF) return nullptr;
  constexpr int kFlags = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  return DocPtr(
      xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr, kFlags));
}

bool named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE &&
         xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::string textOf(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  if (content == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(content));
  xmlFree(content);
  return text;
}

// Every element named `name` below `node`, depth first in document order.
void collect(const xmlNode* node, const char* name, std::vector<std::string>& out) {
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (named(child, name)) {
      out.push_back(textOf(child));
    } else {
      collect(child, name, out);
    }
  }
}

std::string firstText(const xmlNode* node, const char* name) {
  std::vector<std::string> found;
  collect(node, name, found);
  return found.empty() ? std::string() : found.front();
}

const xmlNode* rootNamed(const DocPtr& doc, const char* name) {
  if (!doc) return nullptr;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  return root != nullptr && named(root, name) ? root : nullptr;
}

}  // namespace

std::optional<std::string> xmlRootName(const std::string& body) {
  const DocPtr doc = parse(body);
  if (!doc) return std::nullopt;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(root->name));
}

std::optional<UserCheck> parseUserCheck(const std::string& body) {
  const DocPtr doc = parse(body);
  const xmlNode* root = rootNamed(doc, "UserCheck");
  if (root == nullptr) return std::nullopt;
  return UserCheck{firstText(root, "Username"), firstText(root, "Password"),
                   firstText(root, "SessionId")};
}

std::optional<uint64_t> parseTotalFileSize(const std::string& body) {
  const DocPtr doc = parse(body);
  const xmlNode* root = rootNamed(doc, "RequestUploadList");
  if (root == nullptr) return std::nullopt;
  const std::string text = firstText(root, "TotalFileSize");
  uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<FetchOrder> parseFetchOrder(const std::string& body, FetchKind kind) {
  const DocPtr doc = parse(body);
  const xmlNode* root =
      rootNamed(doc, kind == FetchKind::MediaList ? "FetchListConfig" : "FetchFirmware");
  if (root == nullptr) return std::nullopt;
  FetchOrder order;
  order.kind = kind;
  collect(root, "FetchURL", order.urls);
  order.notifyHost = firstText(root, "NotifyServerHost");
  order.notifyPort = firstText(root, "NotifyServerPort");
  order.notifyUrl = firstText(root, "NotifyServerURL");
  return order;
}

}  // namespace dsim
