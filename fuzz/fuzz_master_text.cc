// The security and contract masters through the text provider: the input is
// the security master, a NUL byte, then the contract master. Both loaders run
// over the process's instrument map.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string_view>

#include "fuzz_harness.h"
#include "instruments/ado_database.h"
#include "instruments/masters.h"

namespace {

void WriteText(const std::filesystem::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fh::fuzz::Harness* h = new fh::fuzz::Harness();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto split = input.find('\0');
  WriteText(h->dir / "security.txt", input.substr(0, split));
  WriteText(h->dir / "contract.txt", split == std::string_view::npos ? std::string_view() : input.substr(split + 1));
  // One map for the whole run (a fresh one per input costs its large token
  // cache): the loaders' inserts of keys already present are part of the test.
  fh::InstrumentMap& map = h->instruments;
  fh::CADODatabase database(h->places);
  database.Open(fh::kMasterConnectionString);
  fh::LoadSecurityMaster(h->places, h->log, h->boxes, database, map);
  fh::LoadContractMaster(h->places, h->log, h->boxes, database, map);
  return 0;
}
