#pragma once

#include <string>

// Decides whether the displays can play a media file before it enters the library.
// `extension` is the file name's text from its last dot, dot included; it may be empty.
// Returns an empty text when the file is acceptable, otherwise the reason shown to the operator:
// - the extension itself when it is neither a video nor an image extension (".avi", ".jp"), or
//   when an image is not a whole file of its type (empty, text, truncated);
// - the video codec identifier when the displays cannot decode it ("hev1", "mp4v-20");
// - "no video" when a video file holds no video stream MediaInfo can identify (a text file,
//   an empty or missing file);
// - " mp3" appended (or alone, for an accepted codec) when the audio is MP3;
// - "Unable to load MediaInfo.dll" for a video while the MediaInfo library cannot be loaded.
// A name without an extension is judged as a video. Safe to call from several threads; never
// throws for a bad or missing file.
std::string probeMedia(std::string path, std::string extension);

// The file name the loader hands to dlopen, "libmediainfo.so.0" by default. Tests point it
// at a missing or incomplete library; it has no effect once the library is loaded.
void setMediaInfoLibraryName(std::string fileName);
