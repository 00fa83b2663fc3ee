#pragma once

#include <string>
#include <string_view>

// Text as it may stand in XML element content or attribute values, and in HTML5 too: the five
// markup characters become entities, everything else is kept byte for byte.
std::string escapeXml(std::string_view text);
