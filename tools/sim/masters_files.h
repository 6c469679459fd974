// The exchange's master files for the simulated universes, so a feed handler
// pointed at them knows every instrument the simulator sends: "security.txt"
// (the capital-market universe, series EQ) and "contract.txt" (the F&O
// universe as stock futures, option type XX), '|'-delimited with a header
// line, in the columns the feed handler's master loaders read:
//
//   security.txt  1 token, 2 symbol, 3 series
//   contract.txt  1 token, 2 asset token, 3 instrument name, 4 symbol,
//                 5 series, 6 reserved, 7 expiry (seconds since 1 January
//                 1980, local time), 8 strike price, 9 option type
//
// Currency derivatives and BSE have no master of this kind; their instruments
// enter the feed handler's table as their first values arrive.
//
// Thread safety: a pure function of its arguments (and the files it writes).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "sim/ledger.h"

namespace fh::sim {

// Every future expires on 30 May 2024, 14:30 (seconds since 1 January 1980).
inline constexpr std::int64_t kMasterExpiry = 1'401'546'600;

// Writes both files into dir (which must exist), replacing earlier ones. False
// with *error ("security.txt: Permission denied") when a file cannot be written.
bool WriteMasters(const std::filesystem::path& dir, std::span<const Instrument> capitalMarket,
                  std::span<const Instrument> futures, std::string* error);

}  // namespace fh::sim
