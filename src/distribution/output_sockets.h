// The output check boxes ("UDP", "MCAST", "BCAST DELTA") and the per-segment
// packet files, as the control dialog calls them.
//
// Each handler expects the dialog to have refreshed the options from the
// controls first; it tears the old socket down and, when its option is on,
// opens a new one and installs it in the transport. Failures are reported as
// the operator knows them: log lines, standard-error texts in the error-print
// form, message boxes and program end through ProgramExit (every handler
// returns right after calling Exit).
//
// Thread safety: called on the user-interface thread. Installing and closing
// sockets is safe while receiver threads send (see BridgeTransport).
#pragma once

#include <string>

#include "distribution/bridge_transport.h"
#include "feedstate/feed_context.h"

namespace fh {

inline constexpr char kMcastGroupNcm[] = "233.1.2.1";
inline constexpr char kMcastGroupOther[] = "233.1.2.2";
inline constexpr int kMcastTtl = 1;
inline constexpr int kLowestMcastPort = 1024;

// "UDP": the destination is lastBridgeAddress (the server's LastBridgeAddress
// at the moment of the click) and the UDP output port. An address text that is
// not a dotted address (no Bridge yet) leaves the output without destination:
// every packet then reports a failed send until the box is clicked again.
void OnUdpClicked(FeedContext& context, BridgeTransport& transport, const std::string& lastBridgeAddress);

// "MCAST": only the capital-market slot (segment 1) is ever opened, and only
// while "NSE-CM" is checked.
void OnMcastClicked(FeedContext& context, BridgeTransport& transport);

// "BCAST DELTA": the two broadcast sockets, ports 2017 and 2007.
void OnBcastDeltaClicked(FeedContext& context, BridgeTransport& transport);

// Opens the multicast slot of segment (0..4): group 233.1.2.1 for segment 1,
// 233.1.2.2 otherwise, the multicast output port, time-to-live 1. Returns 1,
// or 0 after ending the program (or for a segment without slot).
int OpenMcastSendSocket(FeedContext& context, BridgeTransport& transport, int segment);

// Opens (creates or empties, mode "w+") the segment's BPACK and BPACK counter
// files in the working directory, closing handles an earlier click left open.
// Returns 1, or 0 after the message box and program end (exit code 0).
int OpenBpackFiles(FeedContext& context, int segment, const char* name, const char* counterName);

// The names by segment 1..4 ("BPACK_NCM.TXT", "BPACK_Counter_NCM.TXT", ...);
// nullptr for any other segment.
const char* BpackFileName(int segment);
const char* BpackCounterFileName(int segment);

}  // namespace fh
