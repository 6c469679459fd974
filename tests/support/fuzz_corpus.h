// The fuzz targets' seed corpora (fuzz/corpus/<target>/), for tests that
// replay them. A test target that uses this defines FH_FUZZ_CORPUS as the
// corpus root, e.g.
//   target_compile_definitions(t PRIVATE FH_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus")
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_dir.h"

namespace fh::testing {

struct CorpusInput {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

// Every file of the target's corpus, in name order; empty when the folder is
// missing (a test asserts it found some).
inline std::vector<CorpusInput> ReadCorpus(const std::string& target) {
  std::vector<CorpusInput> inputs;
  const std::filesystem::path dir = std::filesystem::path(FH_FUZZ_CORPUS) / target;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = ReadFile(entry.path().string());
    inputs.push_back({entry.path().filename().string(), {bytes.begin(), bytes.end()}});
  }
  std::sort(inputs.begin(), inputs.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return inputs;
}

}  // namespace fh::testing
