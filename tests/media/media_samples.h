#pragma once

#include <string>

#include "media/media_probe.h"

// The committed samples of tests/data/media, made by scripts/make-test-media.sh.
inline std::string sampleFile(const std::string& name) {
  return std::string(QUILLORA_MEDIA_DATA_DIR) + "/" + name;
}

// As media intake hands it over: from the last dot, dot included; empty without a dot.
inline std::string extensionOf(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

inline std::string probeSample(const std::string& file) {
  return probeMedia(sampleFile(file), extensionOf(file));
}
