// What the BSE receiver test uses: the block builder of support/bse_block.h,
// a recording BridgeOutput, a recording ProgramExit and a fresh feed context.
// The other BSE tests use support/feed_state.h and support/recording_output.h.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bse/bse_decoder.h"
#include "bse/bse_layouts.h"
#include "bse/little_endian.h"
#include "distribution/bridge_output.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "support/bse_block.h"
#include "support/test_dir.h"

namespace fh::testing {

class RecordingOutput final : public BridgeOutput {
 public:
  struct Delta {
    int segment;
    std::string text;
  };

  bool BridgeConnected() const override { return connected; }

  int SendToBridges(int segment, int length, const std::uint8_t* packet) override {
    if (onPacket) onPacket();
    std::lock_guard lock(mutex_);
    segments_.push_back(segment);
    packets_.emplace_back(packet, packet + std::max(length, 0));
    changed_.notify_all();
    return connected ? 1 : 0;
  }
  int SendDeltaAll(int, const char*) override {
    std::lock_guard lock(mutex_);
    ++deltaAllCalls_;
    return 0;
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override {
    std::lock_guard lock(mutex_);
    deltas_.push_back({segment, text});
    capacities_.push_back(capacity);
    return 0;
  }

  std::vector<Bytes> Packets() const { std::lock_guard lock(mutex_); return packets_; }
  std::vector<int> Segments() const { std::lock_guard lock(mutex_); return segments_; }
  std::vector<Delta> Deltas() const { std::lock_guard lock(mutex_); return deltas_; }
  std::vector<std::size_t> Capacities() const { std::lock_guard lock(mutex_); return capacities_; }
  int DeltaAllCalls() const { std::lock_guard lock(mutex_); return deltaAllCalls_; }
  void Clear() {
    std::lock_guard lock(mutex_);
    packets_.clear();
    segments_.clear();
    deltas_.clear();
  }
  // Waits until at least count packets arrived; false on timeout.
  bool WaitPackets(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return packets_.size() >= count; });
  }

  bool connected = true;
  std::function<void()> onPacket;  // called before a packet is recorded

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> packets_;
  std::vector<int> segments_;
  std::vector<Delta> deltas_;
  std::vector<std::size_t> capacities_;
  int deltaAllCalls_ = 0;
};

class RecordingExit final : public ProgramExit {
 public:
  void Exit(int code) override {
    std::lock_guard lock(mutex_);
    codes_.push_back(code);
  }
  std::vector<int> Codes() const { std::lock_guard lock(mutex_); return codes_; }

 private:
  mutable std::mutex mutex_;
  std::vector<int> codes_;
};

class NoMessageBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view) override {}
};

// A fresh feed: options, log list, grid, files in a temporary folder, the
// instrument map, a recording output and the decoder.
struct TestFeed {
  TempDir dir;
  FeedHandlerOptions options;
  LogList log;
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places{dir.path(), dir.path()};
  InstancePorts ports;
  NoMessageBoxes boxes;
  RecordingExit exit;
  FeedContext context{options, log, grid, files, places, ports, boxes, exit};
  InstrumentMap instruments;
  RecordingOutput output;
  bse::BseDecoder decoder{context, instruments, output};

  // Decodes one block from an exactly sized heap copy, so a read past its end
  // is caught by the address sanitizer.
  void Decode(const Bytes& block) {
    auto copy = std::make_unique<std::uint8_t[]>(block.size());
    if (!block.empty()) std::memcpy(copy.get(), block.data(), block.size());
    decoder.DecodeBseBlock(copy.get(), static_cast<int>(block.size()));
  }

  std::vector<std::string> LinesContaining(const std::string& part) const {
    std::vector<std::string> out;
    for (const std::string& line : log.Lines()) {
      if (line.find(part) != std::string::npos) out.push_back(line);
    }
    return out;
  }
};

}  // namespace fh::testing
