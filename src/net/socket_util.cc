#include "net/socket_util.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fh {

void SocketFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void BridgeConnection::Shutdown() const {
  shutDownHere_.store(true, std::memory_order_release);
  if (fd_.Valid()) ::shutdown(fd_.Fd(), SHUT_RDWR);
}

void BridgeConnection::ShutdownSending() const {
  if (fd_.Valid()) ::shutdown(fd_.Fd(), SHUT_WR);
}

bool SetBufferSizes(int fd, int bytes, BufferSizes* sizes) {
  BufferSizes granted;
  socklen_t len = sizeof(int);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return false;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted.receive, &len);
  if (sizes != nullptr) *sizes = granted;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0) return false;
  len = sizeof(int);
  ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &granted.send, &len);
  if (sizes != nullptr) *sizes = granted;
  return true;
}

bool SetFeedBufferSizes(int fd, const char* what, ProgramExit& programExit) {
  BufferSizes sizes;
  if (!SetBufferSizes(fd, kSocketBufferBytes, &sizes)) {
    PrintError("setsockopt() failed");
    programExit.Exit(1);
    return false;
  }
  if (sizes.receive < kSocketBufferBytes || sizes.send < kSocketBufferBytes) {
    std::fprintf(stderr, "%s socket buffers: asked %d bytes, granted receive %d, send %d\n", what,
                 kSocketBufferBytes, sizes.receive, sizes.send);
  }
  return true;
}

bool MakeAddress(const char* dotted, int port, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<std::uint16_t>(port));
  if (dotted != nullptr && ::inet_pton(AF_INET, dotted, &out->sin_addr) == 1) return true;
  out->sin_addr.s_addr = INADDR_NONE;
  return false;
}

void FormatDotted(const in_addr& address, char* out, std::size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
  std::snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace fh
