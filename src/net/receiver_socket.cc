#include "net/receiver_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "feedstate/platform.h"

namespace fh {

ReceiverSocket::ReceiverSocket(const char* who, const char* address, int port) {
  std::snprintf(name_, sizeof name_, "%s %.15s|%d", who, address, port);
}

ReceiverSocket::~ReceiverSocket() { Stop(); }

void ReceiverSocket::Stop() {
  std::thread::id receiver;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    stopSource_.request_stop();
    // On an unconnected UDP socket shutdown reports ENOTCONN but still wakes
    // a blocked receive, which then returns 0.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    receiver = threadId_;
  }
  if (receiver == std::thread::id() || receiver == std::this_thread::get_id()) return;
  // One caller joins; the others wait here until it has, and later ones pass.
  std::call_once(joined_, [this] { thread_.join(); });
}

bool ReceiverSocket::Publish(int fd) {
  std::lock_guard lock(mutex_);
  if (stopping_) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void ReceiverSocket::Close() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ReceiverSocket::PrintError(const char* what) const {
  const int err = errno;
  char text[160];
  std::snprintf(text, sizeof text, "%s : %s", name_, what);
  errno = err;
  fh::PrintError(text);
}

void ReceiverSocket::PrintText(const char* text) const { std::fprintf(stderr, "%s : %s", name_, text); }

}  // namespace fh
