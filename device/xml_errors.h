#pragma once

// libxml2 prints some problems (an undecodable text, an I/O error) to stderr whatever the parse
// options say. This sends everything it reports on the calling thread to the diagnostic log
// instead; its handlers are per thread, so every thread that parses calls it first.
void routeXmlErrorsToDiagLog();
