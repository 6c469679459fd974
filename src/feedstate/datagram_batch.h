// A receiver's batch of datagrams: one call blocks for the first datagram and
// then takes whatever the kernel has already queued, up to the batch's limit,
// never waiting for more (recvmmsg with MSG_WAITFORONE). With a limit of 1 it
// is one plain recv, as an unbatched receiver would do.
//
// Each slot holds one datagram of at most kSlotBytes; a longer one is cut
// there, as a single recv into a buffer of that size cuts it. With kZeroTail,
// each slot is zero behind its datagram up to kSlotBytes (the NSE framing may
// look past the end of a short datagram into zeros); without it the bytes
// behind a datagram are left as they were.
//
// Thread safety: a batch belongs to one receiver thread.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace fh {

template <int kSlotBytes, int kSlots, bool kZeroTail>
class DatagramBatch {
 public:
  static_assert(kSlots >= 1 && kSlotBytes >= 1);

  DatagramBatch() {
    for (int i = 0; i < kSlots; ++i) {
      iov_[i] = {slots_[i], kSlotBytes};
      msgs_[i].msg_hdr = {};
      msgs_[i].msg_hdr.msg_iov = &iov_[i];
      msgs_[i].msg_hdr.msg_iovlen = 1;
    }
  }

  // Receives up to limit datagrams (clamped to 1..kSlots). Returns how many
  // arrived (0 after the socket was shut down), or -1 with errno set.
  int Receive(int fd, int limit) {
    limit = std::clamp(limit, 1, kSlots);
    int got;
    if (limit == 1) {
      const ssize_t n = ::recv(fd, slots_[0], kSlotBytes, 0);
      if (n < 0) return -1;
      lengths_[0] = static_cast<int>(n);
      got = n > 0 ? 1 : 0;
    } else {
      got = ::recvmmsg(fd, msgs_, static_cast<unsigned>(limit), MSG_WAITFORONE, nullptr);
      if (got < 0) return -1;
      for (int i = 0; i < got; ++i) lengths_[i] = static_cast<int>(msgs_[i].msg_len);
    }
    if constexpr (kZeroTail)
      for (int i = 0; i < got; ++i)
        std::memset(slots_[i] + lengths_[i], 0, static_cast<std::size_t>(kSlotBytes - lengths_[i]));
    return got;
  }

  std::uint8_t* Data(int i) { return slots_[i]; }
  int Length(int i) const { return lengths_[i]; }

 private:
  mmsghdr msgs_[kSlots];
  iovec iov_[kSlots];
  int lengths_[kSlots] = {};
  std::uint8_t slots_[kSlots][kSlotBytes] = {};
};

}  // namespace fh
