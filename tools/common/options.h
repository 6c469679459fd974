// The tools' command lines: each program declares its options in a table and
// hands it to ParseOptions, which walks argv once. "--help" and "-h" print the
// program's usage on stdout and exit 0; every refusal prints one line on
// stderr, prefixed with the program's name, and makes ParseOptions return
// false.
//
// Thread safety: run from main before any other thread starts.
#pragma once

#include <functional>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "common/tool_net.h"

namespace fh::tools {

// One use of an option on the command line.
struct OptionUse {
  const char* tool;
  std::string_view name;
  const char* value;  // null for an option that takes none

  // Prints "TOOL: " and the formatted text, then a line end; returns false.
  bool Refuse(const char* format, ...) const __attribute__((format(printf, 2, 3)));
};

struct Option {
  std::string_view name;
  bool takesValue = false;
  // Stores what the option says; false after printing why it refuses.
  std::function<bool(const OptionUse&)> apply;
};

// Reads use.value as a number within [min, max]; refuses with
// "bad number for NAME: VALUE".
bool ParseNumber(const OptionUse& use, double* out, double min, double max);

// Builders for the common kinds.
Option Flag(std::string_view name, bool* out, bool value = true);
Option Text(std::string_view name, std::string* out);
Option EndpointOption(std::string_view name, Endpoint* out);
// A decimal or floating number within [min, max].
Option Number(std::string_view name, double* out, double min,
              double max = std::numeric_limits<double>::infinity());
// The same, converted to the integer type of *out (fraction dropped).
template <class Int>
Option WholeNumber(std::string_view name, Int* out, double min,
                   double max = std::numeric_limits<double>::infinity()) {
  return {name, true, [out, min, max](const OptionUse& use) {
            double d = 0;
            if (!ParseNumber(use, &d, min, max)) return false;
            *out = static_cast<Int>(d);
            return true;
          }};
}
// A whole decimal text (no fraction) of at least min.
Option Integer(std::string_view name, long long* out, long long min);

// Walks argv. An argument that names no option goes to positional when given
// and when it does not start with '-'; otherwise it is refused as unknown.
bool ParseOptions(const char* tool, const char* usage, std::span<const Option> options, int argc, char** argv,
                  const std::function<bool(const char*)>& positional = nullptr);

}  // namespace fh::tools
