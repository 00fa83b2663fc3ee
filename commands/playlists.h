#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// Playlist files live in <exeFolder>/web/conf, one compact JSON object {"playlist":[...]} each.
// Names come from the page; unsafe names (see isSafeFileName) are refused everywhere.

// The parsed content of a playlist file; nothing when it is missing, empty or not JSON.
std::optional<nlohmann::json> readPlaylistFile(const std::string& exeFolder,
                                               const std::string& name);

// File names in web/conf after the empty playlists (whose "playlist" member is missing or
// holds no items) were deleted.
nlohmann::json listPlaylists(const std::string& exeFolder);

// The clean-up at exit: the empty playlists, then every media file no playlist names, go.
// Each playlist is read once, however many media there are.
void pruneMediaLibrary(const std::string& exeFolder);

// A name a playlist may be saved under: a safe and plain file name (see isSafeFileName,
// isPlainName) that is not one of the save temporaries.
bool isPlaylistName(const std::string& name);

// Writes {"playlist": items} atomically. False when the name is no playlist name or writing
// failed.
bool savePlaylist(const std::string& exeFolder, const std::string& name,
                  const nlohmann::json& items);

// Removes the playlist after offering each of its media to removeUnusedMedia.
bool removePlaylist(const std::string& exeFolder, const std::string& name);

// Deletes web/media/<media> unless a playlist other than `playlist` names it in a "url".
// True when the media is still used or was deleted; false when the deletion failed.
bool removeUnusedMedia(const std::string& exeFolder, const std::string& media,
                       const std::string& playlist);

// `text` as the page receives it inside a reply: bytes that are not UTF-8 become U+FFFD.
std::string pageText(const std::string& text);
