// The feed pieces the control dialog drives: receivers, the bridge server, the
// output sockets, the packet files, the masters and the counters it shows.
//
// The dialog model calls these from the user-interface thread only. The live
// implementation (LiveFeed) wires the intake, decoders, BSE receiver,
// distribution and instruments together; tests plug in a recorder.
#pragma once

#include <memory>
#include <string_view>

namespace fh {

// One running NSE receiver thread. Stop() ends it cleanly: it asks the thread
// to stop, wakes it from its receive and joins it, so no datagram is counted
// after Stop() returns. Stop() is idempotent; the destructor stops too.
class RunningReceiver {
 public:
  virtual ~RunningReceiver() = default;
  virtual void Stop() = 0;
};

// Counters of the capital-market framing and decoder, read by the PktCounters
// refresh of the dialog.
enum class CmCount {
  kMessagesToDecoder,    // CM messages handed to the CM decoder
  kDatagrams,            // CM datagrams
  kCompressedPackets,    // CM compressed packets
  kUncompressedPackets,  // CM uncompressed packets
  kByCode,               // CM messages of one transaction code
};

class FeedServices {
 public:
  virtual ~FeedServices() = default;

  // Loads the security master, then the contract master, into the instrument
  // table. Failures are reported by the loaders themselves.
  virtual void LoadMasters() = 0;

  // Starts the NSE receiver of seg (kSegNfo, kSegNcm or kSegNcd) on the group
  // address and port. The address and port are copied before this returns.
  virtual std::unique_ptr<RunningReceiver> StartNseReceiver(int seg, std::string_view address, int port) = 0;

  // Starts the BSE receiver thread on the local address and port (copied). It
  // runs until the program ends.
  virtual void StartBseReceiver(std::string_view address, int port) = 0;

  // Starts the TCP bridge server thread, which listens on the instance port
  // and runs until the program ends.
  virtual void StartBridgeServer() = 0;

  // The output check boxes: the options are already refreshed from the
  // controls; each call tears down and (when its box is checked) re-creates
  // the output.
  virtual void OnUdpClicked() = 0;
  virtual void OnMcastClicked() = 0;
  virtual void OnBcastDeltaClicked() = 0;

  // Opens (empties) the two packet files of seg (1..4) into its SegmentFiles
  // entry. On failure it shows its message box and ends the program; it then
  // returns false and the caller returns at once.
  virtual bool OpenBpackFiles(int seg) = 0;

  // A counter of the capital-market framing or decoder (code is used with
  // kByCode only).
  virtual long long CmCounter(CmCount what, int code) const = 0;
};

}  // namespace fh
