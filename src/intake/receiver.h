// The NSE multicast receiver: one thread per started segment that joins a
// group, reads one datagram at a time and hands it to the framing of the
// segment its first byte names (2 FO, 4 CM, 6 CD; anything else is recorded as
// unknown and logged "no FO no CM segment Read from MCAST Socket %c %d").
//
// Socket set-up, in this order: UDP socket, SO_REUSEADDR 1, SO_RCVBUF of the
// args' receiveBuffer (kSocketBufferBytes, 128 MiB, unless a caller asks less)
// and SO_SNDBUF of kSocketBufferBytes, bind to INADDR_ANY:port,
// IP_ADD_MEMBERSHIP of the group on any interface. The socket also asks for
// receive stamps and drop counts (AskForReceiveInfo; not fatal when refused). The kernel caps SO_RCVBUF
// at net.core.rmem_max; the size it granted (as getsockopt reads it back) is
// logged in one line
//   "NSE receiver %s|%d : socket receive buffer %d bytes (asked %d)"
// and kept for GrantedReceiveBuffer(); a small grant is not an error.
// A failed step prints the error-print form on standard error with the
// receiver in front, "NSE receiver <group>|<port> : <text>: <errno
// description>", with the texts "socket", "Reusing ADDR failed",
// "setsockopt() failed" (either buffer size), "bind" (also for a port outside
// 0..65535), "setsockopt" (membership), then calls ProgramExit::Exit(1) and the
// thread ends. A failed receive that no stop caused prints "recvfrom" and exits
// likewise; an interrupted receive is retried.
//
// Every datagram is received whole, up to the largest UDP datagram (the
// exchange may send datagrams above 512 bytes), and passed on to the framing
// with the length received; its recording holds all of it. An empty datagram
// is ignored. The bytes behind a datagram in the receive buffer are not cleared:
// nothing reads past the length it is given.
//
// Figures (FeedMetrics): the datagrams and bytes received, those above 512
// bytes (datagramsOver512), any cut to the buffer (truncated; none can be over
// IPv4) and the kernel's drops on the socket go to the segment the receiver
// was started for, the granted buffer to its receiveBufferBytes. Each
// datagram's receive time goes with it to the framing, and on to the packets
// its messages make.
//
// Thread safety: construct, Stop and destroy from one controlling thread (the
// user-interface thread). GrantedReceiveBuffer, Listening and Running may be
// read from any thread. The receiver calls the framing, the log list and the
// program exit on its own thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <stop_token>
#include <string_view>

#include "feedstate/exg_seg.h"
#include "feedstate/feed_context.h"
#include "feedstate/feed_defaults.h"
#include "intake/framing.h"
#include "net/datagram_batch.h"
#include "net/receiver_socket.h"

namespace fh {

// The block a receiver starts with: group address text (at most 15 characters
// and a terminating NUL), the UDP port to bind, the segment it was started for
// (whose figures it adds to) and the receive buffer to ask for.
struct ReceiverArgs {
  static constexpr std::size_t kGroupSize = 16;
  char groupIp[kGroupSize] = {};
  int port = 0;
  int segment = kSegUnknown;
  int receiveBuffer = kSocketBufferBytes;

  // Fills a block; a longer group text is cut to 15 characters.
  static ReceiverArgs Make(std::string_view group, int port, int segment = kSegUnknown);
};

class ReceiverThread {
 public:
  // The receive buffer of one datagram: any UDP datagram whole.
  static constexpr int kDatagramBytes = kWholeUdp;
  // Datagrams above this are counted (datagramsOver512).
  static constexpr int kClassicDatagramBytes = 512;

  // Copies args (the caller's block may go away as soon as this returns) and
  // starts the thread, which sets up its socket and receives until Stop.
  // ctx and framing must outlive the receiver.
  ReceiverThread(FeedContext& ctx, Framing& framing, const ReceiverArgs& args);
  // Stops and joins.
  ~ReceiverThread();
  ReceiverThread(const ReceiverThread&) = delete;
  ReceiverThread& operator=(const ReceiverThread&) = delete;

  // Requests a stop, shuts the socket down so a blocked receive returns, and
  // joins the thread. Returns promptly; safe to call more than once.
  void Stop();

  // The SO_RCVBUF size the kernel reports after set-up; 0 until then (or when
  // set-up failed).
  int GrantedReceiveBuffer() const { return granted_.load(std::memory_order_acquire); }
  // True once the socket is bound and has joined its group, until the thread
  // ends.
  bool Listening() const { return listening_.load(std::memory_order_acquire); }
  // True from construction until the thread has ended (after Stop, or after a
  // fatal set-up or receive failure).
  bool Running() const { return running_.load(std::memory_order_acquire); }

 private:
  void Run(const std::stop_token& stop);
  // Ends the set-up with the error-print form and exit code 1.
  void Fail(const char* what);

  FeedContext& ctx_;
  Framing& framing_;
  const ReceiverArgs args_;  // copied before the thread starts

  std::atomic<int> granted_{0};
  std::atomic<bool> listening_{false};
  std::atomic<bool> running_{true};
  DatagramBatch<kDatagramBytes, kMaxReceiveBatch> batch_;  // the receiver thread's
  ReceiverSocket socket_;  // last: its thread starts after every other member exists
};

}  // namespace fh
