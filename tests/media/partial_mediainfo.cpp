// A library with one of MediaInfo's entry points only: the probe must refuse to use it.
extern "C" void* MediaInfo_New() {
  return nullptr;
}
