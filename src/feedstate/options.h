// The operator's options and the ports of the feed handler.
//
// Thread safety: the integer options are atomics. They are written by the
// user-interface thread (data exchange with the controls) and read by the
// receiver and transport threads without a lock; a reader sees the old or the
// new value. The text options are touched by the user-interface thread only.
#pragma once

#include <atomic>
#include <string>

namespace fh {

inline constexpr int kMaxReceiveBatch = 64;

// Check boxes are 0 or 1; radio values are 0 when the button is checked and -1
// when it is not.
struct FeedHandlerOptions {
  std::atomic<int> enable{1};
  std::atomic<int> writeBin{0};
  std::atomic<int> readBin{0};
  std::string timerText;  // user-interface thread only
  std::atomic<int> skip2Fo{1};
  std::atomic<int> skip2Cm{1};
  std::atomic<int> bridgePort{14002};
  std::string serverIp{"127.0.0.1"};  // user-interface thread only
  std::atomic<int> udpPort{14002};
  std::atomic<int> mcastPort{29002};
  std::string foStatus{"Unread!"};  // user-interface thread only
  std::string eqStatus{"Unread!"};  // user-interface thread only
  std::atomic<int> pktCounters{0};
  std::atomic<int> ctcl{1};
  std::atomic<int> feedHandlerRadio{0};
  std::atomic<int> serverRadio{-1};
  std::atomic<int> sendTcp{0};
  std::atomic<int> sendUdp{0};
  std::atomic<int> sendMcast{0};
  std::atomic<int> bcastDelta{0};
  std::atomic<int> segNcm{0};
  std::atomic<int> segNfo{0};
  std::atomic<int> segNcd{0};
  std::atomic<int> segBcm{0};
  // Datagrams a receiver takes with one call at most (1..kMaxReceiveBatch, read when a receiver
  // starts); 1 turns batching off. Set from FH_BATCH / --batch, not a control.
  std::atomic<int> receiveBatch{kMaxReceiveBatch};
};

// Modes that allow one segment only: 0 when more than one of the four segment
// boxes is checked (not allowed), else 1..4 for the checked one, and 1 (NCM)
// when none is checked.
int SelectedSegment(const FeedHandlerOptions& options);

inline constexpr char kOnlyOneSegmentText[] = "Only One Exchange-Segment Allowed in this Mode";

// The instance port is 30002 when the program loads; the dialog's
// initialisation sets it to 30001 and nothing changes it afterwards. The UDP
// and multicast output ports are computed once from the load-time value.
inline constexpr int kLoadTimeInstancePort = 30002;
inline constexpr int kDialogInstancePort = 30001;

struct InstancePorts {
  std::atomic<int> instancePort{kLoadTimeInstancePort};
  const int udpOutPort = kLoadTimeInstancePort + 10;    // 30012
  const int mcastOutPort = kLoadTimeInstancePort + 20;  // 30022
};

}  // namespace fh
