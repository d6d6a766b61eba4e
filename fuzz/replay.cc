// Runs a fuzz target over files and directories of inputs without libFuzzer,
// so that the test suite replays the seeds and every regression input.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else {
      inputs.push_back(argv[i]);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  // Read everything first: the target gives up root when it starts.
  std::vector<std::string> contents;
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string& data : contents)
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  fprintf(stderr, "replayed %zu inputs\n", contents.size());
  return contents.empty() ? 1 : 0;
}
