// The BSE receiver: one thread that binds a local address and port (no
// multicast group), takes the BSE feed's datagrams off the socket, records
// them raw when Write BIN is on, cuts each into its message blocks, lets the
// decoder count and delta-scan every block and forwards every block to the
// Bridges as a ForwardedPacket of segment 4.
//
// Figures (FeedMetrics, segment BCM): datagrams, bytes, datagrams longer than
// bse::kMaxDatagram (cut to it: truncated), the kernel's drops on the socket,
// the granted receive buffer and the blocks cut short as bad blocks. Each
// datagram's receive time goes with it to its packets.
//
// Socket failures are reported on standard error with the receiver in front,
// "BSE receiver <address>|<port> : ", then the receiver's own text: "Could not
// create socket.\n", "setsockopt() failed: <errno description>\n", "Could not
// bind name to socket.\n", "Could not receive datagram.\n".
//
// Thread safety: BseDatagramHandler is used by one thread at a time (the
// receiver's). BseReceiverThread's members may be called from any thread; the
// decoder and the handler it drives belong to its own thread while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stop_token>

#include "bse/bse_layouts.h"
#include "distribution/forwarded_packet.h"
#include "feedstate/feed_defaults.h"
#include "feedstate/options.h"
#include "net/datagram_batch.h"
#include "net/receiver_socket.h"

namespace fh {

struct FeedContext;
class BridgeOutput;
namespace bse {
class BseDecoder;
}  // namespace bse
using bse::BseDecoder;
class ProgramExit;

// What Start hands the BSE receiver: the dotted local address to bind (at most
// 15 characters) and the port.
struct BseReceiverArgs {
  BseReceiverArgs() { std::memcpy(groupIp, kBseDefaultAddress, sizeof kBseDefaultAddress); }

  char groupIp[16] = {};
  std::int32_t port = kBseDefaultPort;
};

// Writes "timeserv [server_address] port\n" to standard error and ends the
// program with exit code 0. Callers return right after it.
void BseUsageExit(ProgramExit& exit);

// Everything that happens to one received datagram: raw recording, the block
// walk, the decoder, and one ForwardedPacket per block through SendToBridges.
class BseDatagramHandler {
 public:
  BseDatagramHandler(FeedContext& context, BseDecoder& decoder, BridgeOutput& output);
  BseDatagramHandler(const BseDatagramHandler&) = delete;
  BseDatagramHandler& operator=(const BseDatagramHandler&) = delete;

  // Handles length bytes at data; returns the number of blocks processed. An
  // empty datagram is ignored. A block whose length is negative, whose header
  // or payload runs past the datagram, or whose payload is longer than the
  // decoder's work area ends the walk with one log line; the blocks before it
  // stay processed.
  // With flushNow false the recording is left for FlushRecording and the
  // output for EndBatch, which the receiver calls once per batch, before its
  // next receive. The decoder must send through the same output.
  // receivedAtNs: when the datagram arrived (CLOCK_REALTIME ns, 0 unknown),
  // carried to its packets.
  int OnDatagram(const std::uint8_t* data, int length, bool flushNow = true, std::int64_t receivedAtNs = 0);
  void FlushRecording();
  void EndBatch();

 private:
  void Forward(const std::uint8_t* payload, std::int32_t length, std::int64_t receivedAtNs);

  FeedContext& context_;
  BseDecoder& decoder_;
  BridgeOutput& output_;
  std::uint8_t packet_[forwarded::kHeaderSize + bse::kWorkAreaSize] = {};
};

// Owns the BSE receiver thread. The constructor copies args and starts the
// thread; the thread runs until Stop (or destruction), until its bind fails,
// or until a fatal socket error ends the program through ProgramExit.
class BseReceiverThread {
 public:
  enum class State { kStarting, kRunning, kEnded };

  BseReceiverThread(FeedContext& context, BseDecoder& decoder, BridgeOutput& output, const BseReceiverArgs& args);
  ~BseReceiverThread();
  BseReceiverThread(const BseReceiverThread&) = delete;
  BseReceiverThread& operator=(const BseReceiverThread&) = delete;

  // Requests the stop, shuts the socket down to end a blocked receive, and
  // joins. Safe to call more than once.
  void Stop();

  State CurrentState() const { return state_.load(std::memory_order_acquire); }
  // The receive buffer size the kernel reports after the request (0 before).
  int GrantedReceiveBuffer() const { return grantedReceiveBuffer_.load(std::memory_order_acquire); }

 private:
  void Run(const std::stop_token& stop);
  void Receive(int socket, const std::stop_token& stop);

  FeedContext& context_;
  const BseReceiverArgs args_;
  BseDatagramHandler handler_;
  DatagramBatch<bse::kMaxDatagram, kMaxReceiveBatch> batch_;  // the receiver thread's

  std::atomic<State> state_{State::kStarting};
  std::atomic<int> grantedReceiveBuffer_{0};
  ReceiverSocket socket_;  // last: its thread starts after every other member exists
};

}  // namespace fh
