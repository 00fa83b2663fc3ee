// Prunes the store of an application folder to the newest KEEP runs (no age limit) and prints
// how long it took, how many runs went and the size of the file before and after.
// Usage: bench_history_prune APP_FOLDER KEEP

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "store/store.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_history_prune APP_FOLDER KEEP\n");
    return 1;
  }
  namespace fs = std::filesystem;
  const std::string folder = argv[1];
  const fs::path file = fs::path(folder) / "data/quillora.db";
  const double before = fs::file_size(file) / 1e6;
  auto opened = Store::open(folder);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().c_str());
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  Result<int64_t> removed = (*opened)->prune({0, std::atoll(argv[2])}, 0);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  opened->reset();
  if (!removed) {
    std::fprintf(stderr, "%s\n", removed.error().c_str());
    return 1;
  }
  std::printf("prune: %lld runs removed in %.0f ms; file %.0f MB -> %.0f MB\n",
              static_cast<long long>(*removed), ms, before, fs::file_size(file) / 1e6);
  return 0;
}
