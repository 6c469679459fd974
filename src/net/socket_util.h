// Small POSIX socket helpers: an owning descriptor, the shared Bridge
// connection, buffer sizes, and address texts, for the distribution's
// sockets and listener.
//
// Thread safety: SocketFd is a plain value owned by one thread at a time.
// BridgeConnection may be shared by several threads: Shutdown(), ShutDownHere()
// and Fd() may be called concurrently; the descriptor is closed only when the
// last owner lets go, so no thread ever uses a number the system may have
// reused.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "feedstate/feed_defaults.h"
#include "feedstate/platform.h"

namespace fh {

// The output sockets and the bridge server ask for kSocketBufferBytes
// (feed_defaults.h) in both directions; BufferSizes tells what was granted.

class SocketFd {
 public:
  SocketFd() = default;
  explicit SocketFd(int fd) : fd_(fd) {}
  ~SocketFd() { Reset(); }
  SocketFd(SocketFd&& other) noexcept : fd_(other.Release()) {}
  SocketFd& operator=(SocketFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;

  int Fd() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// One accepted Bridge connection. The transport sends packets on it and the
// connection's client thread reads requests from it; whichever of the two lets
// go last closes the descriptor. Ending the connection is a Shutdown(), which
// wakes a reader and makes every later send fail.
class BridgeConnection {
 public:
  explicit BridgeConnection(int fd) : fd_(fd) {}
  BridgeConnection(const BridgeConnection&) = delete;
  BridgeConnection& operator=(const BridgeConnection&) = delete;

  int Fd() const { return fd_.Fd(); }
  // Both directions: the reader wakes with end of stream, every send fails.
  void Shutdown() const;
  // True once Shutdown was called here: an end of stream the reader then sees
  // is this side's doing, not the peer's.
  bool ShutDownHere() const { return shutDownHere_.load(std::memory_order_acquire); }
  // The sending direction only: the Bridge reads end of stream after what was
  // sent, and the connection's client thread can still read requests.
  void ShutdownSending() const;

 private:
  SocketFd fd_;
  mutable std::atomic<bool> shutDownHere_{false};
};

struct BufferSizes {
  int receive = 0;  // as reported by the kernel after the request
  int send = 0;
};

// Sets SO_RCVBUF, then SO_SNDBUF, to bytes. False (errno set) when either call
// fails; sizes then holds what was read back so far.
bool SetBufferSizes(int fd, int bytes, BufferSizes* sizes);

// The output sockets and the bridge server's listener: SetBufferSizes with
// kSocketBufferBytes, and a note on standard error when the kernel granted
// less (what names the socket). When a call fails, writes "setsockopt()
// failed" in the error-print form and ends the program with exit code 1
// through programExit; false then.
bool SetFeedBufferSizes(int fd, const char* what, ProgramExit& programExit);

// Fills an IPv4 address for dotted text and port. False when the text is not
// a dotted address (the address is then left as INADDR_NONE).
bool MakeAddress(const char* dotted, int port, sockaddr_in* out);

// "%u.%u.%u.%u" of an address in network order, into out (at least 16 bytes).
void FormatDotted(const in_addr& address, char* out, std::size_t size);

}  // namespace fh
