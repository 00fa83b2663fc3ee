#include "commands/xml_body.h"

#include <cstring>

namespace {
const xmlChar* x(const char* text) {
  return reinterpret_cast<const xmlChar*>(text);
}
}  // namespace

XmlBody::XmlBody(const char* rootName) : doc_(xmlNewDoc(x("1.0"))) {
  root_ = xmlNewNode(nullptr, x(rootName));
  xmlDocSetRootElement(doc_, root_);
}

XmlBody::~XmlBody() {
  xmlFreeDoc(doc_);
}

xmlNode* XmlBody::add(xmlNode* parent, const char* name, const std::string& text) {
  return xmlNewTextChild(parent, nullptr, x(name), x(text.c_str()));
}

std::string XmlBody::serialize() const {
  xmlChar* memory = nullptr;
  int size = 0;
  xmlDocDumpFormatMemory(doc_, &memory, &size, 0);
  std::string text = memory ? std::string(reinterpret_cast<char*>(memory), size) : std::string();
  xmlFree(memory);
  return text;
}

std::string replaceHostPlaceholder(std::string body, const std::string& host) {
  const size_t length = std::strlen(kHostPlaceholder);
  for (size_t at = body.find(kHostPlaceholder); at != std::string::npos;
       at = body.find(kHostPlaceholder, at + host.size())) {
    body.replace(at, length, host);
  }
  return body;
}
