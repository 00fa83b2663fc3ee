#include "device/xml_errors.h"

#include <libxml/xmlerror.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/log.h"

namespace {

// libxml2 ends its messages with a newline, and sends some in pieces; empty ones say nothing.
void logLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty()) diagLog("XML: " + text);
}

void logStructured(void*, xmlErrorPtr error) {
  if (error && error->message) logLine(error->message);
}

void logGeneric(void*, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  logLine(text);
}

}  // namespace

void routeXmlErrorsToDiagLog() {
  xmlSetStructuredErrorFunc(nullptr, logStructured);
  xmlSetGenericErrorFunc(nullptr, logGeneric);
}
