// The TCP bridge server: the listening thread that accepts Bridge connections
// on the instance port, and one client thread per connection that reads its
// subscription requests.
//
// Every accept makes the new connection the transport's current one (the
// newest Bridge takes over the packet stream); older connections keep their
// client threads and can still subscribe. A subscription marks the instrument
// subscribed and broadcasts its last value at once through SendDeltaAll and
// SendDeltaSubscribed. When a decoder changes that value meanwhile, the reply
// is sent again with the newer value, so the last item a listener sees for
// the token is its latest value.
//
// Requests may create at most kMaxRequestCreatedRecords instrument records in
// all; past that, a request for an unknown token is refused (one log line per
// connection). Connections from peers outside the allow-list are closed at
// once with one log line.
//
// Figures (FeedMetrics): connections accepted and refused, requests handled,
// records they created, and the Bridges that went away by closing their end
// (bridgeDrops closed) or by a receive error (bridgeDrops error).
//
// Thread safety: Start, Stop and the destructor are called by the
// user-interface thread (or a test); LastBridgeAddress, ListenPort,
// WaitUntilListening and ClientThreadCount from any thread. The server thread
// writes the last address under a lock; each client thread owns its connection's reading side
// and never looks at the transport's current connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "distribution/bridge_allow_list.h"
#include "distribution/bridge_output.h"
#include "distribution/bridge_transport.h"
#include "distribution/request_reader.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "net/socket_util.h"

namespace fh {

// How many instrument records Bridge requests may create, over all
// connections of a run.
inline constexpr std::size_t kMaxRequestCreatedRecords = 1000000;

// The records Bridge requests may still create. Thread safety: Take and
// GiveBack may be called from any thread.
class RequestRecordBudget {
 public:
  explicit RequestRecordBudget(std::size_t limit = kMaxRequestCreatedRecords) : limit_(limit) {}
  // One more record; false when the limit is reached.
  bool Take();
  // A taken record that was not created after all.
  void GiveBack() { used_.fetch_sub(1, std::memory_order_relaxed); }
  std::size_t Limit() const { return limit_; }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

// What a client thread is started with: its own connection, never the shared
// slot of the transport, which the next accept may overwrite.
struct BridgeClientArgs {
  FeedContext& context;
  InstrumentMap& instruments;
  BridgeOutput& output;
  RequestRecordBudget& budget;
  std::shared_ptr<BridgeConnection> connection;
  std::stop_token stop;  // requests still unhandled at the stop are dropped
};

// Reads requests until the peer closes, the connection breaks, a field
// overflows its buffer, the stop is requested or someone shuts the connection
// down; then logs the end, shuts the connection down and lets go of it.
void BridgeClientThread(BridgeClientArgs args);

enum class RequestOutcome {
  kAnswered,
  kRefused,  // unknown token and the budget is spent: nothing created or sent
};

// Handles one complete request (segment and token texts as received) as the
// client thread does, except the refusal's log line, which the client thread
// writes once per connection. Exposed for the client thread and for tests.
RequestOutcome HandleBridgeRequest(FeedContext& context, InstrumentMap& instruments, BridgeOutput& output,
                                   RequestRecordBudget& budget, const char* segmentText, const char* tokenText);

// Where the server listens and whom it lets in.
struct BridgeServerSettings {
  // Dotted address to bind. Empty: as the dialog's serverIp says, where
  // "127.0.0.1" means every local address (0.0.0.0), as it always did.
  // Otherwise bound as given: "0.0.0.0" every address, "127.0.0.1" loopback only.
  std::string listenAddress;
  // Peers allowed to connect; the empty list allows every peer.
  BridgeAllowList allow;
};

class TcpBridgeServer {
 public:
  static constexpr int kBacklog = 5;
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

  TcpBridgeServer(FeedContext& context, InstrumentMap& instruments, BridgeTransport& transport,
                  BridgeServerSettings settings = {});
  ~TcpBridgeServer();  // Stop()
  TcpBridgeServer(const TcpBridgeServer&) = delete;
  TcpBridgeServer& operator=(const TcpBridgeServer&) = delete;

  // The "Server" radio: starts the server thread on InstancePort when
  // feedHandlerRadio is 0 and no server was started before. The listen
  // address is the settings' listenAddress, or else serverIp, read here
  // ("127.0.0.1" means every local address). False when nothing was started.
  bool Start();

  // Ends the server thread and every client thread: stop request (a client
  // thread handles no request after it), shutdown of the listening socket and
  // of every client connection, join. Returns within a second whatever the
  // Bridges have sent.
  void Stop();

  // True once the server accepts connections; false when set-up failed or the
  // time ran out.
  bool WaitUntilListening(std::chrono::milliseconds timeout);
  // The port bound (InstancePort unless that was 0), 0 before listening.
  int ListenPort() const { return listenPort_.load(std::memory_order_acquire); }

  // Dotted address of the most recently accepted peer; "" before any.
  std::string LastBridgeAddress() const;

  // Client threads started and not yet reaped (finished ones are reaped at
  // the next accept).
  std::size_t ClientThreadCount() const;

 private:
  enum class State { kIdle, kSettingUp, kListening, kEnded };

  struct Client {
    std::weak_ptr<BridgeConnection> connection;
    std::atomic<bool> done{false};
    std::jthread thread;
  };

  void Run(const std::stop_token& stop, const std::string& listenAddress, int port);
  void AcceptLoop(const std::stop_token& stop, int listenFd);
  void StartClient(std::shared_ptr<BridgeConnection> connection);
  void ReapClients();
  void SetState(State state);

  FeedContext& context_;
  InstrumentMap& instruments_;
  BridgeTransport& transport_;
  const BridgeServerSettings settings_;
  RequestRecordBudget budget_;

  mutable std::mutex mutex_;  // state_, lastAddress_, clients_
  std::condition_variable stateChanged_;
  State state_ = State::kIdle;
  std::string lastAddress_;
  std::list<std::unique_ptr<Client>> clients_;
  std::atomic<int> listenPort_{0};
  std::jthread thread_;
};

}  // namespace fh
