#include "common/options.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace fh::tools {

bool OptionUse::Refuse(const char* format, ...) const {
  std::fprintf(stderr, "%s: ", tool);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return false;
}

bool ParseNumber(const OptionUse& use, double* out, double min, double max) {
  const auto d = ParseDouble(use.value);
  if (!d || *d < min || *d > max) {
    return use.Refuse("bad number for %.*s: %s", static_cast<int>(use.name.size()), use.name.data(), use.value);
  }
  *out = *d;
  return true;
}

Option Flag(std::string_view name, bool* out, bool value) {
  return {name, false, [out, value](const OptionUse&) {
            *out = value;
            return true;
          }};
}

Option Text(std::string_view name, std::string* out) {
  return {name, true, [out](const OptionUse& use) {
            *out = use.value;
            return true;
          }};
}

Option EndpointOption(std::string_view name, Endpoint* out) {
  return {name, true, [out](const OptionUse& use) {
            const auto e = ParseEndpoint(use.value);
            if (!e) return use.Refuse("bad endpoint %s", use.value);
            *out = *e;
            return true;
          }};
}

Option Number(std::string_view name, double* out, double min, double max) {
  return {name, true, [out, min, max](const OptionUse& use) { return ParseNumber(use, out, min, max); }};
}

Option Integer(std::string_view name, long long* out, long long min) {
  return {name, true, [out, min](const OptionUse& use) {
            const auto n = ParseInt(use.value);
            if (!n || *n < min) {
              return use.Refuse("bad number for %.*s: %s", static_cast<int>(use.name.size()), use.name.data(),
                                use.value);
            }
            *out = *n;
            return true;
          }};
}

bool ParseOptions(const char* tool, const char* usage, std::span<const Option> options, int argc, char** argv,
                  const std::function<bool(const char*)>& positional) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      std::exit(0);  // NOLINT(concurrency-mt-unsafe): a tool's --help ends it before it starts a thread
    }
    const Option* option = nullptr;
    for (const Option& o : options) {
      if (o.name == arg) {
        option = &o;
        break;
      }
    }
    if (option == nullptr) {
      if (positional && (arg.empty() || arg[0] != '-')) {
        if (!positional(argv[i])) return false;
        continue;
      }
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", tool, argv[i]);
      return false;
    }
    OptionUse use{tool, option->name, nullptr};
    if (option->takesValue) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value\n", tool, argv[i]);
        return false;
      }
      use.value = argv[++i];
    }
    if (!option->apply(use)) return false;
  }
  return true;
}

}  // namespace fh::tools
