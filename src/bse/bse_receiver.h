// The BSE receiver: one thread that binds a local address and port (no
// multicast group), takes the BSE feed's datagrams off the socket, records
// them raw when Write BIN is on, cuts each into its message blocks, lets the
// decoder count and delta-scan every block and forwards every block to the
// Bridges as a ForwardedPacket of segment 4.
//
// Thread safety: BseDatagramHandler is used by one thread at a time (the
// receiver's). BseReceiverThread's members may be called from any thread; the
// decoder and the handler it drives belong to its own thread while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bse/bse_layouts.h"
#include "distribution/forwarded_packet.h"

namespace fh {

struct FeedContext;
class BridgeOutput;
namespace bse {
class BseDecoder;
}  // namespace bse
using bse::BseDecoder;
class ProgramExit;

inline constexpr char kBseDefaultAddress[] = "127.0.0.1";
inline constexpr std::int32_t kBseDefaultPort = 5449;
// Asked for both socket buffers; the kernel may grant less (net.core.rmem_max).
inline constexpr int kBseSocketBufferSize = 134217728;

// What Start hands the BSE receiver: the dotted local address to bind (at most
// 15 characters) and the port.
struct BseReceiverArgs {
  char groupIp[16] = "127.0.0.1";
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
  int OnDatagram(const std::uint8_t* data, int length);

 private:
  void Forward(const std::uint8_t* payload, std::int32_t length);

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

  State state() const { return state_.load(std::memory_order_acquire); }
  // The receive buffer size the kernel reports after the request (0 before).
  int GrantedReceiveBuffer() const { return grantedReceiveBuffer_.load(std::memory_order_acquire); }

 private:
  void Run(std::stop_token stop);
  void Receive(int socket, const std::stop_token& stop);
  bool Publish(int socket);  // false when a stop came first
  void CloseSocket();

  FeedContext& context_;
  const BseReceiverArgs args_;
  BseDatagramHandler handler_;
  std::uint8_t buffer_[bse::kMaxDatagram] = {};

  std::mutex socketMutex_;
  int socket_ = -1;        // guarded by socketMutex_
  bool stopping_ = false;  // guarded by socketMutex_
  std::atomic<State> state_{State::kStarting};
  std::atomic<int> grantedReceiveBuffer_{0};
  std::jthread thread_;    // last: starts after every other member exists
};

}  // namespace fh
