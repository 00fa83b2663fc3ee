#pragma once

#include <string>
#include <utility>
#include <vector>

namespace dsim {

// XML documents the display writes: answers and fetch notifications.

std::string xmlEscape(const std::string& text);

// <?xml ...?><ResponseStatus version="2.0"><RequestURL>..</RequestURL><StatusCode>..
// </StatusCode><StatusString>..</StatusString>[extra elements]</ResponseStatus>
std::string responseStatusXml(const std::string& requestUrl, const std::string& statusCode,
                              const std::string& statusString,
                              const std::vector<std::pair<std::string, std::string>>& extra = {});

// A ResponseStatus whose StatusCode element is never closed (the malformed-xml fault).
std::string malformedXml(const std::string& requestUrl);

std::string fetchResultXml(size_t total, size_t succeeded, size_t failed);

// StatusCode 200 / OK when every package was downloaded, else an error code and text.
std::string firmwareResultXml(size_t total, size_t succeeded);

}  // namespace dsim
