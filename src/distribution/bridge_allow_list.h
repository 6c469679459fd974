// BridgeAllowList: the IPv4 networks a Bridge may connect from, written
// "A.B.C.D[/N],..." (a bare address is /32). A list built without Parse (the
// default, no list given) allows every peer; Parse never yields that list.
//
// Thread safety: a plain value; Allows may be called from any thread once the
// list is built.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fh {

class BridgeAllowList {
 public:
  // Parses text; blanks around the items are ignored. On an empty or blank
  // text ("empty list"), an empty item ("empty item": "a,,b", "a,", ",") or a
  // malformed one ("bad network '10.0.0.0/33'"), returns false with *error
  // saying so and leaves *out unchanged.
  static bool Parse(std::string_view text, BridgeAllowList* out, std::string* error);

  bool AllowsEveryone() const { return networks_.empty(); }
  bool Allows(const in_addr& peer) const;

 private:
  struct Network {
    std::uint32_t address;  // host order, already masked
    std::uint32_t mask;     // host order
  };
  std::vector<Network> networks_;
};

}  // namespace fh
