// Fresh feed state for distribution tests, recorders for the platform
// services, and small socket helpers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "distribution/bridge_output.h"
#include "distribution/forwarded_packet.h"
#include "feedstate/feed_context.h"
#include "support/test_dir.h"

namespace fh::testing {

class RecordingExit final : public ProgramExit {
 public:
  void Exit(int code) override {
    std::lock_guard lock(mutex_);
    codes_.push_back(code);
  }
  std::vector<int> Codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int> codes_;
};

class RecordingBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view text) override {
    std::lock_guard lock(mutex_);
    texts_.emplace_back(text);
  }
  std::vector<std::string> Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

// Everything a FeedContext points at, fresh per test.
struct FeedState {
  FeedHandlerOptions options;
  LogList log;
  CounterGrid grid;
  SegmentFiles files;
  TempDir dir;
  FilePlaces places{dir.path(), dir.path()};
  InstancePorts ports;
  RecordingBoxes boxes;
  RecordingExit exit;
  FeedContext context{options, log, grid, files, places, ports, boxes, exit};

  FeedState() { grid.LayOut(); }

  bool Logged(const std::string& line) const {
    const auto lines = log.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // Lines oldest first, which reads like the order of events.
  std::vector<std::string> LinesInOrder() const {
    auto lines = log.Lines();
    std::reverse(lines.begin(), lines.end());
    return lines;
  }
};

// A recorder in place of the transport, for the request handling.
class RecordingOutput final : public BridgeOutput {
 public:
  struct Call {
    std::string kind;  // "all" or "subscribed"
    int segment;
    std::string text;  // as handed in
  };
  bool BridgeConnected() const override { return true; }
  int SendToBridges(int, int, const std::uint8_t*) override { return 1; }
  int SendDeltaAll(int segment, const char* text) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({"all", segment, text});
    return 0;
  }
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({"subscribed", segment, text});
    std::string prefixed = std::to_string(segment) + text;
    std::snprintf(text, capacity, "%s", prefixed.c_str());
    return 0;
  }
  std::vector<Call> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

// Polls cond every millisecond for at most timeout.
inline bool WaitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// One forwarded packet: the header's length field at its place, the rest a
// pattern of the sender's id and the packet's sequence number.
inline std::vector<std::uint8_t> BuildPacket(int length, std::uint8_t sender, std::uint32_t sequence) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(length));
  const auto len16 = static_cast<std::uint16_t>(length);
  if (length >= forwarded::kHeaderSize) {
    const std::uint16_t nse = forwarded::kExchangeNse;
    std::memcpy(&p[forwarded::kExchangeCode], &nse, 2);
    std::memcpy(&p[forwarded::kPacketLength], &len16, 2);
    std::memcpy(&p[forwarded::kLogTime], &sequence, 4);
    for (int i = forwarded::kBodyAt; i < length; ++i) p[i] = static_cast<std::uint8_t>(sender + i);
  } else {
    for (int i = 0; i < length; ++i) p[i] = static_cast<std::uint8_t>(sender + i);
  }
  return p;
}

// Walks a stream of packets built by BuildPacket. Returns the number of whole,
// intact packets; *tail gets the bytes of an unfinished last packet; false
// when a packet's content is broken (interleaving).
inline bool WalkPackets(const std::vector<std::uint8_t>& stream, std::size_t* packets, std::size_t* tail) {
  std::size_t at = 0;
  *packets = 0;
  while (at + forwarded::kHeaderSize <= stream.size()) {
    std::uint16_t length;
    std::memcpy(&length, &stream[at + forwarded::kPacketLength], 2);
    if (length < forwarded::kHeaderSize) return false;
    if (at + length > stream.size()) break;
    const std::uint8_t sender = static_cast<std::uint8_t>(stream[at + forwarded::kBodyAt] - forwarded::kBodyAt);
    for (int i = forwarded::kBodyAt; i < length; ++i) {
      if (stream[at + i] != static_cast<std::uint8_t>(sender + i)) return false;
    }
    at += length;
    ++*packets;
  }
  *tail = stream.size() - at;
  return true;
}

// Reads whatever arrives on fd until it stays quiet for quiet, the peer ends,
// or max bytes have come.
inline std::vector<std::uint8_t> Drain(int fd, std::chrono::milliseconds quiet, std::size_t max = 64u << 20) {
  std::vector<std::uint8_t> out;
  std::uint8_t buf[65536];
  while (out.size() < max) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

inline bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace fh::testing
