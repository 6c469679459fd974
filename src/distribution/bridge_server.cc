#include "distribution/bridge_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "feedstate/platform.h"

namespace fh {
namespace {

constexpr char kRule[] = "==============";
constexpr char kEndRule[] = "=========";
constexpr std::size_t kReceiveChunk = 512;
constexpr std::size_t kReplySize = 512;

// Three lines that frame a suspicious text; the newest line is on top, so the
// text stands between the rules.
void LogMarked(LogList& log, const char* text) {
  log.LogLine(kRule);
  log.LogLine(text);
  log.LogLine(kRule);
}

}  // namespace

bool RequestRecordBudget::Take() {
  if (used_.fetch_add(1, std::memory_order_relaxed) < limit_) return true;
  used_.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

RequestOutcome HandleBridgeRequest(FeedContext& context, InstrumentMap& instruments, BridgeOutput& output,
                                   RequestRecordBudget& budget, const char* segmentText, const char* tokenText) {
  LogList& log = context.log;
  context.metrics.bridgeRequests.Add();
  std::int32_t segment = ReadRequestNumber(segmentText);
  if (segment == 5 || segment == 6) segment = 4;  // BSE cash, F&O and CD share one feed
  const std::int32_t token = ReadRequestNumber(tokenText);
  log.LogFormat("%d,%d", segment, token);
  if (token <= 0) LogMarked(log, tokenText);

  char key[InstrumentMap::kKeySize];
  const std::size_t keyLength = InstrumentMap::FormatKey(key, segment, token);
  const std::string_view keyText(key, keyLength);
  bool created = false;
  InstrumentRecord* record = instruments.Find(keyText);
  if (record == nullptr) {
    if (!budget.Take()) return RequestOutcome::kRefused;
    record = instruments.FindOrCreate(keyText, token, keyText, &created);
    if (!created) budget.GiveBack();
    if (record == nullptr) return RequestOutcome::kAnswered;
  }
  if (created) {
    context.metrics.bridgeRequestRecords.Add();
    log.LogLine("NEW");
  }
  record->subscribed.store(1, std::memory_order_relaxed);

  // Decoders change a value and read the subscription under the map's lock.
  // Reading the value after passing that lock once more orders the two: a
  // change made before is seen here, a change made after sees the
  // subscription and is broadcast by its decoder.
  instruments.Find(keyText);
  std::int32_t value = record->lastValue.load(std::memory_order_relaxed);
  char text[LogList::kLineSize];
  std::snprintf(text, sizeof text, "%d,%d,%d", segment, token, value);
  if (record->token <= 0) LogMarked(log, text);
  log.LogLine(text);

  for (;;) {
    char reply[kReplySize];
    std::snprintf(reply, sizeof reply, ",%d|%d", token, value);
    // The all-delta item first: the subscribed sender rewrites the buffer.
    output.SendDeltaAll(segment, reply);
    output.SendDeltaSubscribed(segment, reply, sizeof reply);
    // A decoder may have changed the value after it was read and broadcast the
    // newer one before this reply: then the reply goes again, newer, so that
    // the token's last item on the wire is its latest value.
    instruments.Find(keyText);
    const std::int32_t now = record->lastValue.load(std::memory_order_relaxed);
    if (now == value) break;
    value = now;
  }
  return RequestOutcome::kAnswered;
}

void BridgeClientThread(BridgeClientArgs args) {
  LogList& log = args.context.log;
  const int fd = args.connection->Fd();
  log.LogFormat("Thread is up for ID %d\n", fd);

  RequestReader reader;
  char bytes[kReceiveChunk];
  bool open = true;
  bool refusalLogged = false;
  while (open && !args.stop.stop_requested()) {
    const ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // An end this side caused (a stop, or the transport letting the Bridge
      // go) is no drop of the Bridge's making.
      if (!args.stop.stop_requested() && !args.connection->ShutDownHere()) {
        args.context.metrics.bridgeDrops[n == 0 ? FeedMetrics::kDropClosed : FeedMetrics::kDropError].Add();
      }
      break;
    }
    for (ssize_t i = 0; i < n && open; ++i) {
      switch (reader.Feed(bytes[i])) {
        case RequestReader::Event::kNone:
          break;
        case RequestReader::Event::kSegmentDone:
          if (ReadRequestNumber(reader.SegmentText()) <= 0) LogMarked(log, reader.SegmentText());
          break;
        case RequestReader::Event::kRequestDone:
          if (args.stop.stop_requested()) {
            open = false;  // the rest of what arrived is dropped
            break;
          }
          if (HandleBridgeRequest(args.context, args.instruments, args.output, args.budget, reader.SegmentText(),
                                  reader.TokenText()) == RequestOutcome::kRefused &&
              !refusalLogged) {
            log.LogFormat("Bridge requests may create no more than %zu instruments: refusing unknown tokens on "
                          "connection %d\n",
                          args.budget.Limit(), fd);
            refusalLogged = true;
          }
          break;
        case RequestReader::Event::kOverflow:
          log.LogFormat("Request field longer than %zu characters, closing connection %d\n",
                        RequestReader::kFieldSize - 1, fd);
          open = false;
          break;
      }
    }
  }
  log.LogFormat("Closed connection %d", fd);
  log.LogLine(kEndRule);
  // The transport may still hold the connection: shut it down so its next send
  // fails and drops it; the descriptor is closed by whoever lets go last.
  args.connection->Shutdown();
  args.connection.reset();
}

TcpBridgeServer::TcpBridgeServer(FeedContext& context, InstrumentMap& instruments, BridgeTransport& transport,
                                 BridgeServerSettings settings)
    : context_(context), instruments_(instruments), transport_(transport), settings_(std::move(settings)) {}

TcpBridgeServer::~TcpBridgeServer() { Stop(); }

bool TcpBridgeServer::Start() {
  if (context_.options.feedHandlerRadio.load() != 0) return false;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::kIdle) return false;
    state_ = State::kSettingUp;
  }
  std::string listenAddress = settings_.listenAddress;
  if (listenAddress.empty()) {
    listenAddress = context_.options.serverIp == "127.0.0.1" ? "0.0.0.0" : context_.options.serverIp;
  }
  thread_ = std::jthread([this, listenAddress = std::move(listenAddress),
                          port = context_.ports.instancePort.load()](const std::stop_token& stop) {
    Run(stop, listenAddress, port);
  });
  return true;
}

void TcpBridgeServer::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  std::list<std::unique_ptr<Client>> clients;
  {
    std::lock_guard lock(mutex_);
    clients.swap(clients_);
  }
  for (auto& c : clients) {
    c->thread.request_stop();
    if (auto connection = c->connection.lock()) connection->Shutdown();
  }
  clients.clear();  // joins every client thread
}

bool TcpBridgeServer::WaitUntilListening(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  stateChanged_.wait_for(lock, timeout, [this] { return state_ == State::kListening || state_ == State::kEnded; });
  return state_ == State::kListening;
}

std::string TcpBridgeServer::LastBridgeAddress() const {
  std::lock_guard lock(mutex_);
  return lastAddress_;
}

std::size_t TcpBridgeServer::ClientThreadCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

void TcpBridgeServer::SetState(State state) {
  {
    std::lock_guard lock(mutex_);
    state_ = state;
  }
  stateChanged_.notify_all();
}

void TcpBridgeServer::Run(const std::stop_token& stop, const std::string& listenAddress, int port) {
  LogList& log = context_.log;
  struct EndState {
    TcpBridgeServer* server;
    ~EndState() { server->SetState(State::kEnded); }
  } endState{this};

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, listenAddress.c_str(), &address.sin_addr) != 1) {
    address.sin_addr.s_addr = htonl(INADDR_NONE);  // bind fails below
  }
  log.LogFormat("Try TCP Server run on %d\n", port);

  SocketFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.Valid()) {
    log.LogLine("TCP Invalid Socket Failed\n");
    return;
  }
  const int one = 1;
  ::setsockopt(listener.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!SetFeedBufferSizes(listener.Fd(), "TCP server", context_.programExit)) return;
  if (::bind(listener.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    log.LogLine("TCP Bind Failed\n");
    return;
  }
  if (::setsockopt(listener.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    log.LogLine("TCP_NODELAY Failed\n");
  }
  if (::listen(listener.Fd(), kBacklog) != 0) {
    log.LogLine("TCP Listen Failed\n");
    return;
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
  const int boundPort = ntohs(bound.sin_port);
  const auto* b = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
  log.LogFormat("TCP Server running on %u.%u.%u.%u | %d\n", b[0], b[1], b[2], b[3], boundPort);
  listenPort_.store(boundPort, std::memory_order_release);

  // A stop request wakes accept(); registered after listen() so the shutdown
  // always finds a listening socket.
  const int listenFd = listener.Fd();
  std::stop_callback wake(stop, [listenFd] { ::shutdown(listenFd, SHUT_RDWR); });
  SetState(State::kListening);
  AcceptLoop(stop, listenFd);
}

void TcpBridgeServer::AcceptLoop(const std::stop_token& stop, int listenFd) {
  LogList& log = context_.log;
  std::mutex delayMutex;
  std::condition_variable_any delay;
  while (!stop.stop_requested()) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (stop.stop_requested()) break;
      if (err == EINTR || err == ECONNABORTED) continue;
      char reason[128];
      log.LogFormat("TCP Accept Failed: %s\n", strerror_r(err, reason, sizeof reason));
      // Out of descriptors and the like: wait a little rather than spin.
      std::unique_lock lock(delayMutex);
      delay.wait_for(lock, stop, kAcceptRetryDelay, [] { return false; });
      continue;
    }
    SocketFd accepted(fd);
    char dotted[16];
    FormatDotted(peer.sin_addr, dotted, sizeof dotted);
    if (!settings_.allow.Allows(peer.sin_addr)) {
      context_.metrics.bridgeRefused.Add();
      log.LogFormat("Bridge from %s refused: not in the allow-list\n", dotted);
      continue;  // closed here
    }
    context_.metrics.bridgeAccepted.Add();
    auto connection = std::make_shared<BridgeConnection>(accepted.Release());
    {
      std::lock_guard lock(mutex_);
      lastAddress_ = dotted;
    }
    transport_.AttachBridge(connection);
    log.LogFormat("Bridge Connected from IP %s\n", dotted);

    const int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
      // Packets still go to it, but it gets no client thread.
      log.LogLine("TCP_NODELAY Failed\n");
      continue;
    }
    ReapClients();
    StartClient(std::move(connection));
  }
}

void TcpBridgeServer::StartClient(std::shared_ptr<BridgeConnection> connection) {
  auto client = std::make_unique<Client>();
  Client* c = client.get();
  c->connection = connection;
  {
    std::lock_guard lock(mutex_);
    clients_.push_back(std::move(client));
  }
  c->thread = std::jthread([this, c, connection = std::move(connection)](std::stop_token stop) mutable {
    BridgeClientThread(
        BridgeClientArgs{context_, instruments_, transport_, budget_, std::move(connection), std::move(stop)});
    c->done.store(true, std::memory_order_release);
  });
}

void TcpBridgeServer::ReapClients() {
  std::list<std::unique_ptr<Client>> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if ((*it)->done.load(std::memory_order_acquire)) {
        finished.splice(finished.end(), clients_, it++);
      } else {
        ++it;
      }
    }
  }
  finished.clear();  // joins threads that have already ended
}

}  // namespace fh
