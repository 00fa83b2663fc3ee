#include "device/xml_errors.h"

#include <libxml/xmlerror.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "app/diag_log.h"

namespace {

void logStructured(void*, xmlErrorPtr error) {
  if (!error || !error->message) return;
  std::string line = std::string("XML: ") + error->message;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  diagLog(line);
}

void logGeneric(void*, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string line = std::string("XML: ") + text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  if (line.size() > 5) diagLog(line);
}

}  // namespace

void routeXmlErrorsToDiagLog() {
  xmlSetStructuredErrorFunc(nullptr, logStructured);
  xmlSetGenericErrorFunc(nullptr, logGeneric);
}
