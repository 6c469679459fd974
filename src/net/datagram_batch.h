// A receiver's batch of datagrams: one call blocks for the first datagram and
// then takes whatever the kernel has already queued, up to the batch's limit,
// never waiting for more (recvmmsg with MSG_WAITFORONE). With a limit of 1 it
// is one plain recvmsg, as an unbatched receiver would do.
//
// Each slot holds one datagram of at most kSlotBytes (kWholeUdp takes any
// UDP datagram whole). A longer one is cut there, as a single recv into a
// buffer of that size cuts it, and counted as truncated. The bytes behind a
// datagram in its slot are whatever an earlier datagram left there (or never
// written): read a datagram only up to its Length. The slots are one heap
// block taken without being written, so a batch of large slots costs memory
// only where datagrams landed.
//
// Beside its bytes, each datagram brings what the kernel attaches once
// AskForReceiveInfo was called on the socket: its receive stamp
// (SO_TIMESTAMPNS) and the socket's running count of datagrams dropped for a
// full receive buffer (SO_RXQ_OVFL, a 32-bit count the kernel attaches only
// once it is non-zero). A slot without a stamp reads the wall clock as the
// receive call returned.
//
// Thread safety: a batch belongs to one receiver thread, and to one socket for
// its life (the drop count it follows is that socket's).
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace fh {

// Asks the kernel for each datagram's receive stamp and the socket's drop
// count. Either may be missing on an odd kernel; the receiver then counts no
// drops and stamps datagrams itself, so a failure is not an error.
inline void AskForReceiveInfo(int fd) {
  const int one = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
  (void)::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

// The largest UDP payload over IPv4 is 65,507 bytes; a slot of 64 KiB holds it.
inline constexpr int kWholeUdp = 65536;

template <int kSlotBytes, int kSlots>
class DatagramBatch {
 public:
  static_assert(kSlots >= 1 && kSlotBytes >= 1);

  DatagramBatch()
      : slots_(std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(kSlots) * kSlotBytes)) {
    for (int i = 0; i < kSlots; ++i) {
      iov_[i] = {Data(i), kSlotBytes};
      msgs_[i].msg_hdr = {};
      msgs_[i].msg_hdr.msg_iov = &iov_[i];
      msgs_[i].msg_hdr.msg_iovlen = 1;
      msgs_[i].msg_hdr.msg_control = control_[i];
    }
  }

  // Receives up to limit datagrams (clamped to 1..kSlots). Returns how many
  // arrived (0 after the socket was shut down), or -1 with errno set.
  int Receive(int fd, int limit) {
    limit = std::clamp(limit, 1, kSlots);
    // The kernel shortens msg_controllen to what it wrote: give the room back.
    for (int i = 0; i < limit; ++i) msgs_[i].msg_hdr.msg_controllen = kControlBytes;
    int got;
    if (limit == 1) {
      const ssize_t n = ::recvmsg(fd, &msgs_[0].msg_hdr, 0);
      if (n < 0) return -1;
      lengths_[0] = static_cast<int>(std::min<ssize_t>(n, kSlotBytes));
      got = n > 0 ? 1 : 0;
    } else {
      got = ::recvmmsg(fd, msgs_, static_cast<unsigned>(limit), MSG_WAITFORONE, nullptr);
      if (got < 0) return -1;
      for (int i = 0; i < got; ++i) lengths_[i] = static_cast<int>(std::min<unsigned>(msgs_[i].msg_len, kSlotBytes));
    }
    truncated_ = 0;
    for (int i = 0; i < got; ++i) truncated_ += (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 ? 1 : 0;
    ReadControl(got);
    return got;
  }

  std::uint8_t* Data(int i) { return slots_.get() + static_cast<std::size_t>(i) * kSlotBytes; }
  int Length(int i) const { return lengths_[i]; }
  // Datagram i's receive time, CLOCK_REALTIME nanoseconds.
  std::int64_t ReceivedAtNs(int i) const { return stamps_[i]; }
  // Adds the got datagrams of the last Receive to a receiver's figures: the
  // non-empty ones and their bytes (as received, cut ones at kSlotBytes), the
  // datagrams cut to their slot, and the datagrams the kernel dropped on the
  // socket since the previous Receive (the kernel's count wraps at 2^32; the
  // difference does not care). Figures is any block of counters named
  // datagrams, bytes, truncated and kernelDrops that take Add(n), as a feed's
  // per-segment figures do: the network layer knows no more of them.
  template <class Figures>
  void CountInto(Figures& figures, int got) const {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    for (int i = 0; i < got; ++i) {
      datagrams += lengths_[i] > 0 ? 1 : 0;
      bytes += static_cast<std::uint64_t>(lengths_[i]);
    }
    if (datagrams != 0) {
      figures.datagrams.Add(datagrams);
      figures.bytes.Add(bytes);
    }
    if (truncated_ != 0) figures.truncated.Add(static_cast<std::uint64_t>(truncated_));
    if (newDrops_ != 0) figures.kernelDrops.Add(newDrops_);
  }

 private:
  static constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t));

  static std::int64_t Nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  }

  void ReadControl(int got) {
    std::int64_t now = -1;  // read once, only when a slot has no stamp
    bool dropsSeen = false;
    std::uint32_t drops = 0;
    for (int i = 0; i < got; ++i) {
      msghdr& h = msgs_[i].msg_hdr;
      stamps_[i] = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
          timespec t;
          std::memcpy(&t, CMSG_DATA(c), sizeof t);
          stamps_[i] = Nanoseconds(t);
        } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);  // later datagrams carry later counts
          dropsSeen = true;
        }
      }
      if (stamps_[i] < 0) {
        if (now < 0) {
          timespec t{};
          ::clock_gettime(CLOCK_REALTIME, &t);
          now = Nanoseconds(t);
        }
        stamps_[i] = now;
      }
    }
    newDrops_ = dropsSeen ? drops - lastDrops_ : 0;
    if (dropsSeen) lastDrops_ = drops;
  }

  mmsghdr msgs_[kSlots];
  iovec iov_[kSlots];
  int lengths_[kSlots] = {};
  std::int64_t stamps_[kSlots] = {};
  int truncated_ = 0;  // of the last Receive
  std::uint32_t lastDrops_ = 0;
  std::uint32_t newDrops_ = 0;
  alignas(cmsghdr) unsigned char control_[kSlots][kControlBytes] = {};
  const std::unique_ptr<std::uint8_t[]> slots_;  // kSlots of kSlotBytes, never cleared
};

}  // namespace fh
