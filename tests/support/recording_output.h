// A BridgeOutput that records everything handed to it, in order, from any
// thread. SendDeltaSubscribed behaves as the transport does: it puts the
// segment number in front and copies the prefixed line back into the caller's
// buffer (cut at the caller's capacity, which a test then sees as a failure).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "distribution/bridge_output.h"

namespace fh::testing {

class RecordingOutput final : public BridgeOutput {
 public:
  struct Event {
    enum Kind { kPacket, kAll, kSubscribed } kind;
    int segment;
    std::string bytes;  // the packet, or the line as sent (subscribed: with its prefix)
    std::int64_t receivedAtNs = 0;  // a packet's datagram's receive time
  };

  bool BridgeConnected() const override { return connected; }
  int SendToBridges(int segment, int length, const std::uint8_t* packet, std::int64_t receivedAtNs) override {
    if (onPacket) onPacket();
    Record({Event::kPacket, segment, std::string(reinterpret_cast<const char*>(packet), length > 0 ? length : 0),
            receivedAtNs});
    return connected ? 1 : 0;
  }
  int SendDeltaAll(int segment, const char* text) override {
    if (onDelta) onDelta();
    Record({Event::kAll, segment, text});
    return 0;
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override {
    if (onDelta) onDelta();
    const std::string line = std::to_string(segment) + text;
    EXPECT_LT(line.size(), capacity) << "the prefixed line must fit the caller's buffer";
    if (line.size() < capacity) std::memcpy(text, line.c_str(), line.size() + 1);
    Record({Event::kSubscribed, segment, line});
    return 0;
  }

  std::vector<Event> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> Of(Event::Kind kind) const {
    std::vector<std::string> out;
    for (const Event& e : Events())
      if (e.kind == kind) out.push_back(e.bytes);
    return out;
  }
  std::vector<std::string> Packets() const { return Of(Event::kPacket); }
  std::vector<std::string> AllLines() const { return Of(Event::kAll); }
  std::vector<std::string> SubscribedLines() const { return Of(Event::kSubscribed); }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  std::atomic<bool> connected{true};
  std::function<void()> onPacket;  // called before a packet is recorded
  std::function<void()> onDelta;   // called before a delta line is recorded

 private:
  void Record(Event e) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }

  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace fh::testing
