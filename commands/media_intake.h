#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// "add": shows the open dialog for the type and takes the chosen files in (media are probed
// and copied under a stored name, firmware is copied, pictures and sounds are checked).
std::string addFiles(AppContext& context, nlohmann::json& message);

// "remove" "media": deletes the media file unless another playlist still names it.
std::string removeMedia(AppContext& context, nlohmann::json& message);

// The stored name of a media file: MD5 of the file name followed by the UTC time as year,
// month, day, hour, minute, second and millisecond without leading zeros, then the extension.
std::string storedMediaName(const std::string& fileName, const std::string& extension,
                            const std::string& utcStamp);
// The UTC time of now in the form that storedMediaName expects.
std::string utcStampNow();
