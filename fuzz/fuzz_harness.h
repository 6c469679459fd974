// A feed handler's shared state for one fuzz process: fresh options with every
// output switched on, a log list, a grid, files under a private temporary
// folder, and a Bridge output that checks what it is handed instead of sending.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <unistd.h>

#include "distribution/bridge_output.h"
#include "distribution/forwarded_packet.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "nse/byteorder.h"

namespace fh::fuzz {

// Checks the invariants of everything a decoder sends: a packet's length field
// matches its length and fits its 1024-byte buffer (BSE blocks may be longer),
// a delta line fits the capacity it was handed.
class CheckingOutput final : public BridgeOutput {
 public:
  bool BridgeConnected() const override { return true; }
  int SendToBridges(int, int length, const std::uint8_t* packet, std::int64_t) override {
    if (length < forwarded::kHeaderSize) Fail("packet shorter than its header");
    if (static_cast<std::uint16_t>(Load16(packet + forwarded::kPacketLength)) != static_cast<std::uint16_t>(length))
      Fail("packet length field differs from the length sent");
    volatile std::uint8_t sink = 0;
    for (int i = 0; i < length; ++i) sink = sink ^ packet[i];  // every byte must be readable
    return 1;
  }
  int SendDeltaAll(int, const char* text) override {
    if (std::strlen(text) > 512) Fail("all-delta line longer than 512");
    return 0;
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override {
    const std::size_t n = strnlen(text, capacity);
    if (n == capacity) Fail("subscribed-delta line without terminator");
    if (n == 0) return 0;
    char prefixed[4096];
    const int w = std::snprintf(prefixed, sizeof prefixed, "%d%s", segment, text);
    if (w < 0 || static_cast<std::size_t>(w) >= capacity) Fail("no room for the segment prefix");
    std::memcpy(text, prefixed, static_cast<std::size_t>(w) + 1);
    return 0;
  }

 private:
  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
  }
};

class NoMessageBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view) override {}
};

class RecordingExit final : public ProgramExit {
 public:
  void Exit(int code) override { last = code; }
  int last = -1;
};

// Everything a FeedContext points at, alive for the whole fuzz process.
struct Harness {
  Harness()
      : dir(std::filesystem::temp_directory_path() / ("fh-fuzz-" + std::to_string(::getpid()))),
        places((std::filesystem::create_directories(dir), dir), dir),
        context{options, log, grid, files, places, ports, boxes, exit, metrics} {
    options.bcastDelta = 1;
    options.ctcl = 1;
    options.pktCounters = 1;
    options.sendTcp = 1;
    options.writeBin = 0;
  }

  std::filesystem::path dir;
  FeedHandlerOptions options;
  LogList log{64};
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places;
  InstancePorts ports;
  NoMessageBoxes boxes;
  RecordingExit exit;
  FeedMetrics metrics;
  FeedContext context;
  InstrumentMap instruments;
  CheckingOutput output;
};

}  // namespace fh::fuzz
