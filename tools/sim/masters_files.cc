#include "sim/masters_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fh::sim {
namespace {

// Opens name in dir for writing, runs write on it and closes it; a failure at
// any step (a full disk shows only at the close) fills *error.
template <class Write>
bool WriteFile(const std::filesystem::path& dir, const char* name, std::string* error, Write write) {
  std::FILE* f = std::fopen((dir / name).c_str(), "w");
  bool ok = f != nullptr && write(f);
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  if (!ok) *error = std::string(name) + ": " + std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): before sending, one thread
  return ok;
}

}  // namespace

bool WriteMasters(const std::filesystem::path& dir, std::span<const Instrument> capitalMarket,
                  std::span<const Instrument> futures, std::string* error) {
  const bool securities = WriteFile(dir, "security.txt", error, [&](std::FILE* f) {
    bool ok = std::fputs("Token|Symbol|Series\n", f) >= 0;
    for (const Instrument& in : capitalMarket) ok = ok && std::fprintf(f, "%d|%s|EQ\n", in.token, in.symbol) > 0;
    return ok;
  });
  return securities && WriteFile(dir, "contract.txt", error, [&](std::FILE* f) {
    bool ok = std::fputs("Token|AssetToken|InstrumentName|Symbol|Series|Reserved|ExpiryDate|StrikePrice|OptionType\n",
                         f) >= 0;
    for (const Instrument& in : futures) {
      ok = ok && std::fprintf(f, "%d|0|FUTSTK|%s||0|%lld|-1|XX\n", in.token, in.symbol,
                              static_cast<long long>(kMasterExpiry)) > 0;
    }
    return ok;
  });
}

}  // namespace fh::sim
