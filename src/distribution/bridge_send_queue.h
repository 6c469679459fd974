// BridgeSendQueue: the packets waiting for one Bridge connection, and the
// thread that writes them.
//
// Receiver threads Append runs of whole packets and return at once. When
// nothing is queued and the sender sleeps, Append hands the run to the socket
// itself with one non-blocking send (no thread hand-off on a Bridge that keeps
// up); whatever the socket does not take goes into a preallocated ring of
// kBridgeSendBufferBytes. That send is made without the lock: the run's place
// at the ring's tail is claimed first, so that runs appended meanwhile queue
// behind it, and the sender writes nothing until the claim ends. While the
// socket takes everything, the claiming thread also writes what queued behind
// it (a few rounds at most); what is left then goes to the sender, woken by
// the claiming thread. The append path never
// allocates and never waits for the socket. The queue's own sender thread
// writes everything queued with one sendmsg per drain (two pieces when the
// ring wraps), bytes and order exactly as appended: each Append is one
// unbroken unit of the stream.
//
// The stream ends for good when an Append finds no room (the Bridge is more
// than the bound behind, or more packets wait than one per 46-byte header of
// the bound; a run longer than the whole bound never fits), when the socket
// takes no byte for the send timeout (kBridgeSendTimeout) while bytes wait
// (any progress, however slow, starts that time again), or when a send
// fails. Nothing is written after that, so a packet cut by the failure is the
// last thing on the stream.
// A failure found by the sender is reported once through the callback given at
// construction, with the packet it cut; an Append that finds no room reports
// kOverflow to its caller instead.
//
// Thread safety: Append, Close, Stop, Finished and Idle may be called from any
// thread; they serialise on one lock, and no system call is made under it. The
// socket is written by one thread at a time: an appender holding the claim, or
// else the sender. The failure callback runs on the sender thread, without the
// lock. The destructor stops and joins the sender and must not run on the
// sender thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "net/socket_util.h"

namespace fh {

// How far a Bridge may fall behind, in bytes queued and not yet taken by its
// socket, before it is dropped.
inline constexpr std::size_t kBridgeSendBufferBytes = std::size_t{4} << 20;
// How long queued bytes may wait for a Bridge whose socket takes nothing.
inline constexpr std::chrono::milliseconds kBridgeSendTimeout{200};

// One packet of a run handed to the queue in one go: the packets lie end to
// end in one buffer.
struct QueuedPacket {
  std::int32_t segment;
  std::int32_t length;        // >= 1
  std::int64_t receivedAtNs;  // when its datagram arrived (CLOCK_REALTIME ns), 0 unknown
};

class BridgeSendQueue {
 public:
  // The packet a failure cut: its segment, the bytes of it that reached the
  // socket (-1 when none did) and its length; slow when the Bridge took
  // nothing for the send timeout, otherwise the socket failed.
  struct Failure {
    int segment;
    int sent;
    int length;
    bool slow = true;
  };
  using FailureHandler = std::function<void(const Failure&)>;

  enum class AppendResult { kQueued, kOverflow, kClosed };
  // What an Append did: how many of its packets were taken, and the bytes
  // queued (not yet in the socket) afterwards.
  struct Appended {
    int taken = 0;
    std::size_t queued = 0;
  };

  BridgeSendQueue(std::shared_ptr<BridgeConnection> connection, FailureHandler onFailure,
                  std::size_t capacity = kBridgeSendBufferBytes,
                  std::chrono::milliseconds sendTimeout = kBridgeSendTimeout);
  ~BridgeSendQueue();  // Stop()
  BridgeSendQueue(const BridgeSendQueue&) = delete;
  BridgeSendQueue& operator=(const BridgeSendQueue&) = delete;

  // Queues count packets laid end to end in bytes, whole, with at most one
  // send (made without the lock). kOverflow: the packets before packets[done.taken] were
  // queued, that one found no room, and the queue has failed and writes
  // nothing more. kClosed: closed, stopped or failed before.
  AppendResult Append(const std::uint8_t* bytes, const QueuedPacket* packets, int count, Appended* done = nullptr);

  // No more appends; the sender writes what is queued and ends (the stream
  // stays open for whatever else the connection carries).
  void Close();
  // The sender gives up at once, whatever is queued (within one poll slice).
  void Stop();

  // True once the sender thread has ended (drained after Close, failed or stopped).
  bool Finished() const;
  // True while the queue is open, holds nothing, no appender is sending and
  // the sender sleeps: the next Append goes to the socket directly.
  bool Idle() const;
  const std::shared_ptr<BridgeConnection>& Connection() const { return connection_; }

 private:
  enum class State { kOpen, kClosing, kFailed, kStopped };
  struct PacketMark {
    std::int32_t length;
    std::int32_t segment;
  };

  void Run();
  // Ends the stream and reports the packet at the head; the lock is let go
  // around the report.
  void Fail(std::unique_lock<std::mutex>& lock, bool slow);
  // Copies the packets that fit into the ring behind what is queued;
  // kOverflow at the first without room.
  AppendResult QueueLocked(const std::uint8_t* bytes, const QueuedPacket* packets, int count, Appended& out);
  // Writes n bytes of src into the ring from stream position at on, wrapping
  // at the ring's end.
  void CopyIn(std::uint64_t at, const std::uint8_t* src, std::size_t n);
  // Marks packets[0, count) (those of length 1 or more) at the tail.
  void MarkLocked(const QueuedPacket* packets, int count);
  // The socket took n more bytes: the head moves on, with the packet marks.
  void ConsumeLocked(std::size_t n);
  // What the sender waits for: something to write, or the end.
  bool SenderHasWorkLocked() const;
  // One non-blocking sendmsg of the ring's bytes [head, tail) (two pieces
  // when they wrap), by the one thread that may write the socket now.
  ssize_t SendQueued(int fd, std::uint64_t head, std::uint64_t tail);

  const std::shared_ptr<BridgeConnection> connection_;
  const FailureHandler onFailure_;
  const std::size_t capacity_;
  const std::chrono::milliseconds sendTimeout_;
  const std::size_t markCapacity_;
  std::unique_ptr<std::uint8_t[]> ring_;
  std::unique_ptr<PacketMark[]> marks_;  // one per queued packet, for the failure report

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  State state_ = State::kOpen;
  bool senderIdle_ = false;
  bool directSending_ = false;  // an appender is sending a claimed run without the lock
  bool finished_ = false;
  std::uint64_t head_ = 0;  // bytes taken by the socket
  std::uint64_t tail_ = 0;  // bytes appended, with a run being sent directly
  std::uint64_t markHead_ = 0;
  std::uint64_t markTail_ = 0;
  std::int64_t headSent_ = 0;  // bytes of the packet at markHead_ already taken
  std::thread sender_;
};

}  // namespace fh
