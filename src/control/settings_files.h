// The files the control dialog reads and writes: the receiver address files
// that override the default groups and ports, the per-segment settings files,
// the state file, and the names of the raw recording and replay files.
//
// Thread safety: the tables are constants; the functions run on the
// user-interface thread (they write the text options and show message boxes).
#pragma once

#include <cstddef>

#include "feedstate/feed_context.h"
#include "feedstate/feed_defaults.h"

namespace fh {

// Receiver defaults, in the order Start launches them, and the files that
// override them.
struct ReceiverDefault {
  int seg;
  const char* address;
  int port;
  const char* addressFile;
  const char* logFormat;  // "NSE FO %s|%ld" ...
};
inline constexpr ReceiverDefault kReceiverDefaults[] = {
    {2, kNseDefaultGroup, kNfoDefaultPort, "BCASTOUT_TEXT_FO.TXT", "NSE FO %s|%ld"},
    {1, kNseDefaultGroup, kNcmDefaultPort, "BCASTOUT_TEXT_CASH.TXT", "NSE CM %s|%ld"},
    {3, kNseDefaultGroup, kNcdDefaultPort, "BCASTOUT_TEXT_NCD.TXT", "NSE CD %s|%ld"},
    {4, kBseDefaultAddress, kBseDefaultPort, "BCASTOUT_TEXT_CASH_BSE.TXT", "BSE CM %s|%ld"},
};

// A receiver's address text holds at most 15 characters ("255.255.255.255").
inline constexpr std::size_t kAddressTextSize = 16;

// Reads an address file (mode "r+"): the address ("%s") then the port ("%ld").
// A missing file shows "Cant open file for Ip/Port Read: <name>" and leaves
// both unchanged; a field that is absent or unreadable leaves its value
// unchanged, and an address longer than 15 characters is refused (the default
// stays). name is relative to the working directory of places.
void ReadAddressFile(const FilePlaces& places, MessageBoxes& boxes, const char* name,
                     char (&address)[kAddressTextSize], long& port);

// File names of the raw recording (mode "ab+") and of the replay input (mode
// "rb+") of seg 0..4; null for any other seg.
const char* RecordingFileName(int seg);
const char* ReplayFileName(int seg);

// The settings file of seg 1, 2 or 4 ("FH_Config_NCM.TXT" ...) into the
// server address and the three ports. A missing file falls back to the
// instance and output ports and shows "Cant open file :FH_Config". The three
// integer reads share one variable, starting at 34330, so a missing field
// repeats the one read before it.
void ReadSettings(const FeedContext& context, int seg);
// Writes "%s %d 127.0.0.1 %d %d" (server address, bridge, UDP and multicast
// port) to the settings file named by selector, a value of the instance-port
// table. No file for it, or a failed open: "Cant open file :FH_Config".
void WriteSettings(const FeedContext& context, int selector);

// Opens the empty state file "fhc.fhc" of the system drive with mode ("w+"
// by Save, "r+" by Load) and closes it at once. On a failed open it shows
// "Cant open file :fhc", ends the program with 0 and returns false.
bool TouchStateFile(const FeedContext& context, const char* mode);

}  // namespace fh
