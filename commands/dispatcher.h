#pragma once

#include <string>

struct AppContext;

// Routes one page request by "C" then "T" and returns the reply for the page: empty (nothing
// is posted) or the request echoed with its "P" rewritten. Malformed requests get an empty
// reply and change nothing.
std::string dispatchPageMessage(AppContext& context, const std::string& text);
