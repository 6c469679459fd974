// Where the receivers listen unless an address file says otherwise, and the
// socket buffer size every receiving and sending socket asks for. The feed
// handler, the simulator, the replay and the load floor share these, so a tool
// started without options meets the handler started without address files.
//
// The first byte of an NSE datagram, its net id, is in exg_seg.h beside the
// segment numbers it maps to.
//
// Thread safety: constants only.
#pragma once

namespace fh {

// Asked for SO_RCVBUF and SO_SNDBUF (128 MiB); the kernel may grant less
// (net.core.rmem_max, wmem_max).
inline constexpr int kSocketBufferBytes = 134217728;

// The three NSE segments share one multicast group, one port each.
inline constexpr char kNseDefaultGroup[] = "233.1.2.5";
inline constexpr int kNfoDefaultPort = 34330;
inline constexpr int kNcmDefaultPort = 35610;
inline constexpr int kNcdDefaultPort = 34567;

// The BSE feed arrives as plain UDP on a local address.
inline constexpr char kBseDefaultAddress[] = "127.0.0.1";
inline constexpr int kBseDefaultPort = 5449;

}  // namespace fh
