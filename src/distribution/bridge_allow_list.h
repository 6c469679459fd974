// BridgeAllowList: the IPv4 networks a Bridge may connect from, written
// "A.B.C.D[/N],..." (a bare address is /32). The empty list allows every peer.
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
  // Parses text; blanks around the items are ignored. On a malformed item,
  // returns false with *error naming it ("bad network '10.0.0.0/33'") and
  // leaves *out unchanged.
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
