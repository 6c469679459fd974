// What every receiver thread needs around its socket: the thread itself, a
// stop that wakes a blocked receive, and error reports that name the receiver.
// The NSE multicast receivers and the BSE receiver use it alike.
//
// The receiver thread creates its socket and Publishes it. Stop marks the stop,
// asks the thread's stop token to stop and shuts the published socket down, so
// a receive that is waiting returns at once (0, now and on every later call)
// and the loop sees the stop. A stop that comes before Publish makes Publish
// close the new socket and return false: the thread then ends without ever
// blocking.
//
// Reports go to standard error with the receiver's name in front, "<who>
// <address>|<port> : ", e.g. "NSE receiver 233.1.2.5|35610 : bind: Address
// already in use"; the text after the name is the receiver's own.
//
// Thread safety: Start once, from the owner's constructor. Stop may be called
// from any thread, more than once and by several threads at the same time: the
// thread is joined once, and every Stop called elsewhere than on the receiver
// thread returns only after it has ended; called on the receiver thread itself
// it does not join. Publish and Close belong to the receiver thread; the socket
// number is guarded by one lock against Stop. Name and the reports may be used
// from any thread.
#pragma once

#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

namespace fh {

class ReceiverSocket {
 public:
  // who: "NSE receiver" or "BSE receiver"; address (at most 15 characters are
  // kept) and port as the receiver was started with.
  ReceiverSocket(const char* who, const char* address, int port);
  // Stops and joins.
  ~ReceiverSocket();
  ReceiverSocket(const ReceiverSocket&) = delete;
  ReceiverSocket& operator=(const ReceiverSocket&) = delete;

  // Runs body(std::stop_token) on the receiver thread. The owner calls it once
  // everything the body uses exists (in its constructor's body).
  template <class Body>
  void Start(Body&& body) {
    // Under the lock, so a Stop (on the new thread too) sees the thread whole.
    std::lock_guard lock(mutex_);
    thread_ = std::jthread(std::forward<Body>(body));
    threadId_ = thread_.get_id();
    stopSource_ = thread_.get_stop_source();
  }

  // Requests the stop, shuts the published socket down and waits for the
  // thread to end (unless called on the receiver thread). Returns promptly.
  void Stop();

  // Hands the receiver's new socket over; false when a stop came first (the
  // socket is then closed).
  bool Publish(int fd);
  // Closes the published socket, if any.
  void Close();

  // "<who> <address>|<port>".
  const char* Name() const { return name_; }
  // The error-print form with the name in front: "<name> : <what>: <errno
  // description>\n". errno is read as it was on entry.
  void PrintError(const char* what) const;
  // "<name> : <text>", text as it is (it carries its own line end).
  void PrintText(const char* text) const;

 private:
  char name_[64] = {};

  std::mutex mutex_;       // guards what follows up to thread_ between the thread and Stop
  int fd_ = -1;
  bool stopping_ = false;
  std::thread::id threadId_;  // set by Start
  std::stop_source stopSource_{std::nostopstate};  // the thread's, set by Start
  std::once_flag joined_;     // the one join; Stops that come meanwhile wait in it
  std::jthread thread_;    // last: joined before the lock goes away
};

}  // namespace fh
