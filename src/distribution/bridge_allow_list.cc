#include "distribution/bridge_allow_list.h"

#include <arpa/inet.h>

#include <charconv>
#include <utility>

namespace fh {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool BridgeAllowList::Parse(std::string_view text, BridgeAllowList* out, std::string* error) {
  auto fail = [error](std::string why) {
    if (error != nullptr) *error = std::move(why);
    return false;
  };
  // An empty text is most likely an unset shell variable: never "everyone".
  if (Trim(text).empty()) return fail("empty list");
  BridgeAllowList list;
  for (bool more = true; more;) {
    const std::size_t comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    more = comma != std::string_view::npos;
    if (more) text.remove_prefix(comma + 1);
    if (item.empty()) return fail("empty item");

    const std::size_t slash = item.find('/');
    const std::string address(item.substr(0, slash));
    int bits = 32;
    bool ok = !address.empty();
    if (slash != std::string_view::npos) {
      const std::string_view n = item.substr(slash + 1);
      const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), bits);
      ok = ok && ec == std::errc{} && end == n.data() + n.size() && !n.empty() && bits >= 0 && bits <= 32;
    }
    in_addr a{};
    ok = ok && ::inet_pton(AF_INET, address.c_str(), &a) == 1;
    if (!ok) return fail("bad network '" + std::string(item) + "'");
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    list.networks_.push_back({ntohl(a.s_addr) & mask, mask});
  }
  *out = std::move(list);
  return true;
}

bool BridgeAllowList::Allows(const in_addr& peer) const {
  if (networks_.empty()) return true;
  const std::uint32_t p = ntohl(peer.s_addr);
  for (const Network& n : networks_) {
    if ((p & n.mask) == n.address) return true;
  }
  return false;
}

}  // namespace fh
