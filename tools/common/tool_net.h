// Small socket helpers shared by the tools: the network guard, endpoints,
// sockets with the options the tools need, and a monotonic clock.
//
// Thread safety: pure functions; each socket belongs to its caller.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fh::tools {

// The largest UDP payload over IPv4: the longest datagram a tool sends.
inline constexpr int kMaxUdpPayload = 65507;

// The tools send multicast and broadcast and bind the feed's ports. They run
// only inside the private namespace of scripts/netns-run (which sets
// FH_IN_NETNS=1), or when the operator passes --allow-host-network by hand.
// Prints why it refuses and returns false.
bool NetworkAllowed(const char* tool, bool allowHostNetwork);

struct Endpoint {
  std::string address;  // dotted form
  int port = 0;
  sockaddr_in Sockaddr() const;
};

// "A.B.C.D:PORT" (port 1..65535). Nothing on a malformed text.
std::optional<Endpoint> ParseEndpoint(std::string_view text);

// A UDP socket for sending: multicast TTL 1 with loopback on, broadcast
// allowed, and the send buffer raised as far as the system grants. -1 after
// printing the error.
int OpenSendSocket();

// Sends one datagram; a short or failed send counts in *failed, and the first
// failure is printed.
bool SendDatagram(int fd, const sockaddr_in& to, const std::uint8_t* data, std::size_t n, long long* failed);

// A UDP socket bound to 0.0.0.0:port with SO_REUSEADDR, its receive buffer
// raised towards wantRcvbuf (the size granted is written to *granted). -1
// after printing the error.
int OpenReceiveSocket(int port, int wantRcvbuf, int* granted);

// A TCP connection to the endpoint, retried until timeoutMs passes. -1 after
// printing the last error.
int ConnectTcp(const Endpoint& to, int timeoutMs);

// Monotonic nanoseconds.
std::int64_t NowNs();
// Wall-clock nanoseconds (the clock of the kernel's receive time stamps).
std::int64_t WallNs();

// Parses a whole decimal or floating text; nothing on trailing junk.
std::optional<long long> ParseInt(std::string_view text);
std::optional<double> ParseDouble(std::string_view text);

}  // namespace fh::tools
