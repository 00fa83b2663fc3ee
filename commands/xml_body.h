#pragma once

#include <libxml/tree.h>

#include <string>

// A request body under construction: a version 1.0 document whose serialisation has no
// indentation. Texts are escaped as they are added, so "&" or "<" in a name stays intact.
class XmlBody {
 public:
  explicit XmlBody(const char* rootName);
  ~XmlBody();
  XmlBody(const XmlBody&) = delete;
  XmlBody& operator=(const XmlBody&) = delete;

  xmlNode* root() const { return root_; }
  xmlNode* add(xmlNode* parent, const char* name, const std::string& text = "");
  xmlNode* add(const char* name, const std::string& text) { return add(root_, name, text); }
  std::string serialize() const;

 private:
  xmlDoc* doc_;
  xmlNode* root_;
};

inline constexpr const char* kHostPlaceholder = "$TAVROHOSTIP$";

// Every placeholder replaced by `host` (which may be empty).
std::string replaceHostPlaceholder(std::string body, const std::string& host);
