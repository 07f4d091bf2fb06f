// Runs fuzz targets without libFuzzer: every file named on the command line, and every file in
// every directory named there (in name order), is passed once to LLVMFuzzerTestOneInput. A
// target that finds a fault aborts, so the program's exit status tells whether all inputs passed.
// Directories that do not exist are skipped, so an empty regression folder needs no placeholder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool run_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", p.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
  // A copy of exactly the file's size, so that reading past the end is caught by the sanitizers.
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t count = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& e : std::filesystem::directory_iterator(arg, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        if (f.filename().string().front() == '.' || f.extension() == ".md") continue;
        ok = run_file(f) && ok;
        ++count;
      }
    } else if (std::filesystem::exists(arg, ec)) {
      ok = run_file(arg) && ok;
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return ok ? 0 : 1;
}
