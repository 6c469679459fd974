// What the feed counts about itself for its operators: loss at every stage
// (kernel, framing, decompression, Bridge), throughput, outputs, the Bridge's
// state and the tick-to-Bridge latency. The figures are read by the metrics
// endpoint, the headless "stats" command and the window's status bar.
//
// Every figure is a relaxed atomic, and the hot path never takes a lock or
// allocates to change one. A figure that several threads add to takes one
// fetch_add (Add); the per-message figures, whose adders run one at a time
// (a framing lane's lock, the one BSE receiver), take a plain relaxed load and
// store instead (AddSerialised, CountMessage). Readers may see figures of
// different moments, each one exact. Counters only grow (64 bits, they do not
// wrap in practice); gauges are set.
//
// Indexing: segment figures take an ExgSeg (0 unknown net id, 1 NCM, 2 NFO,
// 3 NCD, 4 BCM); an index outside 0..4 is ignored by the adders and reads 0.
// Message codes are counted for 0..kMaxCode; others go to the segment's
// "other codes" counter.
//
// Thread safety: every member may be used from any thread at any time, except
// that the serialised adders (AddSerialised, CountMessage) of one
// counter must never run at the same time; readers may still read at any time.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "feedstate/exg_seg.h"

namespace fh {

class MetricCounter {
 public:
  void Add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  // Add for a counter whose adders never run at the same time (one thread, or
  // all under one lock): a plain load and store, no locked read-modify-write
  // on the per-message path. Two concurrent adders here would lose counts.
  void AddSerialised(std::uint64_t n = 1) {
    value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  std::uint64_t Get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

class MetricGauge {
 public:
  void Set(std::int64_t v) { value_.store(v, std::memory_order_relaxed); }
  void Add(std::int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  // Raises the gauge to v when v is higher (a high-water mark).
  void Raise(std::int64_t v) {
    std::int64_t seen = value_.load(std::memory_order_relaxed);
    while (v > seen && !value_.compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
    }
  }
  std::int64_t Get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> value_{0};
};

// A latency histogram with fixed bucket bounds, in nanoseconds.
class LatencyHistogram {
 public:
  // Upper bounds (inclusive) of the buckets; one more bucket takes the rest.
  static constexpr std::array<std::int64_t, 16> kBoundsNs = {
      1'000,     2'000,     5'000,      10'000,     20'000,     50'000,      100'000,     200'000,
      500'000,   1'000'000, 2'000'000,  5'000'000,  10'000'000, 20'000'000,  50'000'000,  100'000'000};
  static constexpr std::size_t kBuckets = kBoundsNs.size() + 1;

  // A negative duration (clocks stepped) counts as 0.
  void Observe(std::int64_t ns) {
    if (ns < 0) ns = 0;
    std::size_t i = 0;
    while (i < kBoundsNs.size() && ns > kBoundsNs[i]) ++i;
    buckets_[i].Add();
    sumNs_.Add(static_cast<std::uint64_t>(ns));
  }
  // Observations in bucket i alone (not cumulative); i == kBuckets - 1 is the
  // overflow bucket.
  std::uint64_t Bucket(std::size_t i) const { return i < kBuckets ? buckets_[i].Get() : 0; }
  std::uint64_t SumNs() const { return sumNs_.Get(); }
  std::uint64_t Count() const {
    std::uint64_t n = 0;
    for (const auto& b : buckets_) n += b.Get();
    return n;
  }

 private:
  std::array<MetricCounter, kBuckets> buckets_;
  MetricCounter sumNs_;
};

// Counts by code for the few codes one counter family follows: the first
// kSlots distinct codes each get a slot as they are first counted; a further
// code counts in the last slot under code -1 ("other").
// Thread safety: AddSerialised as MetricCounter::AddSerialised (one adder at a
// time); readers may read at any time.
class CodeCounts {
 public:
  static constexpr int kSlots = 16;
  static constexpr int kOther = -1;

  void AddSerialised(int code) {
    int slot = 0;
    while (slot < kSlots - 1) {
      const int held = codes_[static_cast<std::size_t>(slot)].load(std::memory_order_relaxed);
      if (held == code) break;
      if (held == 0) {
        codes_[static_cast<std::size_t>(slot)].store(code, std::memory_order_relaxed);
        break;
      }
      ++slot;
    }
    if (slot == kSlots - 1) {
      const int held = codes_[static_cast<std::size_t>(slot)].load(std::memory_order_relaxed);
      if (held != code) codes_[static_cast<std::size_t>(slot)].store(kOther, std::memory_order_relaxed);
    }
    counts_[static_cast<std::size_t>(slot)].AddSerialised();
  }
  // Slot i's code (0: unused) and count.
  int Code(int i) const { return codes_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed); }
  std::uint64_t Count(int i) const { return counts_[static_cast<std::size_t>(i)].Get(); }

 private:
  std::array<std::atomic<int>, kSlots> codes_{};
  std::array<MetricCounter, kSlots> counts_;
};

class FeedMetrics {
 public:
  static constexpr int kSegments = kSegmentCount;
  static constexpr int kMaxCode = 32767;
  static constexpr std::size_t kCacheLine = 64;

  // Why a datagram or packet was cut short or thrown away as malformed.
  enum Malformed : int {
    kTooShort = 0,     // datagram shorter than its head
    kRunsPast = 1,     // a packet runs past the datagram
    kShortHeader = 2,  // MessageLength below the message header
    kBadBlock = 3,     // a BSE block that does not fit its datagram
    kMalformedKinds = 4,
  };
  // Why the feed let a Bridge go.
  enum BridgeDrop : int {
    kDropSlow = 0,    // fell behind the send queue's bound or its timeout
    kDropClosed = 1,  // the Bridge closed its end
    kDropError = 2,   // a socket error
    kDropKinds = 3,
  };
  // The outputs a send can fail on.
  enum Output : int { kOutTcp = 0, kOutUdp = 1, kOutMcast = 2, kOutDelta = 3, kOutputs = 4 };

  // Each segment's figures fill whole cache lines of their own (64 bytes on
  // the machines this runs on), so receiver threads of different segments
  // never write to one line; the blocks of segments_, scratch_ and empty_ all
  // start on a line.
  struct alignas(kCacheLine) Segment {
    // Receiver (the receiver started for this segment).
    MetricCounter datagrams;
    MetricCounter bytes;
    MetricCounter kernelDrops;        // SO_RXQ_OVFL: dropped on the socket
    MetricCounter truncated;          // longer than the receiver takes: cut
    MetricCounter datagramsOver512;   // NSE: above 512 bytes, taken whole
    MetricGauge receiveBufferBytes;   // SO_RCVBUF as granted
    // Framing.
    MetricCounter packetsFramed;
    MetricCounter decompressFailures;
    std::array<MetricCounter, kMalformedKinds> malformed;
    // Decoding: messages by code, and the codes no decoder handles.
    MetricCounter otherCodes;         // codes outside 0..kMaxCode
    MetricCounter unhandled;
    // Messages of a known code whose MessageLength matches none of the
    // code's forms (not decoded), by code.
    CodeCounts unknownForms;
    // Outputs.
    MetricCounter forwardedPackets;
    MetricCounter forwardedBytes;
    // Recording.
    MetricCounter recordedBytes;
    MetricCounter recordingFailures;
    MetricCounter recordingLost;      // datagrams that did not reach the file whole
  };
  static_assert(alignof(Segment) == kCacheLine && sizeof(Segment) % kCacheLine == 0);

  FeedMetrics()
      : codes_(std::make_unique<MetricCounter[]>(static_cast<std::size_t>(kSegments) * (kMaxCode + 1))),
        started_(std::chrono::system_clock::now()),
        startedSteady_(std::chrono::steady_clock::now()) {}
  FeedMetrics(const FeedMetrics&) = delete;
  FeedMetrics& operator=(const FeedMetrics&) = delete;

  // The segment's figures; a segment outside 0..4 gets a scratch block that
  // nobody reads, so adders need no check.
  Segment& Of(int seg) { return seg >= 0 && seg < kSegments ? segments_[seg] : scratch_; }
  const Segment& Of(int seg) const { return seg >= 0 && seg < kSegments ? segments_[seg] : empty_; }

  // One decoded message of code on seg. Only seg's decoder counts there, and
  // it runs on one thread at a time (a framing lane's lock, or the one BSE
  // receiver): see AddSerialised.
  void CountMessage(int seg, int code) {
    if (seg < 0 || seg >= kSegments) return;
    MetricCounter& counter =
        code < 0 || code > kMaxCode
            ? segments_[seg].otherCodes
            : codes_[static_cast<std::size_t>(seg) * (kMaxCode + 1) + static_cast<std::size_t>(code)];
    counter.AddSerialised();
  }
  std::uint64_t Messages(int seg, int code) const {
    if (seg < 0 || seg >= kSegments || code < 0 || code > kMaxCode) return 0;
    return codes_[static_cast<std::size_t>(seg) * (kMaxCode + 1) + static_cast<std::size_t>(code)].Get();
  }

  // Outputs that have no segment.
  MetricCounter deltaAll;          // datagrams sent to port 2007
  MetricCounter deltaSubscribed;   // datagrams sent to port 2017
  MetricCounter udpFrames;
  MetricCounter mcastFrames;
  std::array<MetricCounter, kOutputs> sendFailures;

  // The Bridge.
  MetricGauge bridgeConnected;     // 1 while a Bridge is the current one
  MetricCounter bridgeAccepted;
  MetricCounter bridgeRefused;     // not on the allow-list
  std::array<MetricCounter, kDropKinds> bridgeDrops;
  MetricCounter bridgeRequests;
  MetricCounter bridgeRequestRecords;  // instrument records created by requests
  MetricGauge bridgeQueueBytes;        // queued for the current Bridge
  MetricGauge bridgeQueueHighWater;

  // The log.
  MetricCounter logLines;
  MetricCounter logLinesNotShown;  // headless standard output fell behind

  // Receive to hand-off to the Bridge's socket, per forwarded packet.
  LatencyHistogram tickToBridge;

  std::chrono::system_clock::time_point StartTime() const { return started_; }
  std::chrono::steady_clock::duration Uptime() const { return std::chrono::steady_clock::now() - startedSteady_; }

 private:
  std::array<Segment, kSegments> segments_;
  Segment scratch_;
  const Segment empty_{};
  std::unique_ptr<MetricCounter[]> codes_;
  const std::chrono::system_clock::time_point started_;
  const std::chrono::steady_clock::time_point startedSteady_;
};

}  // namespace fh
