#include "control/metrics_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <prometheus/exposer.h>
#include <prometheus/text_serializer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <sstream>
#include <thread>
#include <utility>

#ifndef FH_BUILD_VERSION
#define FH_BUILD_VERSION "0.0.0"
#endif

namespace fh {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;
using SegmentFigures = FeedMetrics::Segment;

constexpr int kFirstSegment = kSegNcm;
constexpr int kLastSegment = kSegBcm;

std::string SegmentLabel(int seg) {
  const char* suffix = SegmentSuffix(seg);
  return suffix != nullptr ? suffix : "unknown";
}

// Builds one family after another; each Add goes to the family begun last.
class Families {
 public:
  void Begin(const char* name, const char* help, MetricType type) {
    out_.push_back(MetricFamily{name, help, type, {}});
  }
  void Add(double value, Labels labels = {}) {
    ClientMetric m;
    m.label = std::move(labels);
    if (out_.back().type == MetricType::Counter)
      m.counter.value = value;
    else
      m.gauge.value = value;
    out_.back().metric.push_back(std::move(m));
  }
  void Add(const MetricCounter& c, Labels labels = {}) { Add(static_cast<double>(c.Get()), std::move(labels)); }
  void Add(const MetricGauge& g, Labels labels = {}) { Add(static_cast<double>(g.Get()), std::move(labels)); }
  void AddHistogram(ClientMetric::Histogram h) {
    ClientMetric m;
    m.histogram = std::move(h);
    out_.back().metric.push_back(std::move(m));
  }
  std::vector<MetricFamily> Take() { return std::move(out_); }

 private:
  std::vector<MetricFamily> out_;
};

// A per-segment counter and the segments it is published for.
struct SegmentFamily {
  const char* name;
  const char* help;
  MetricCounter SegmentFigures::*figure;
  int firstSegment;  // kSegUnknown for the figures that also count datagrams of no known net id
};

constexpr SegmentFamily kSegmentCounters[] = {
    {"feedhandler_received_datagrams_total", "Datagrams received, by the segment of the receiver that took them",
     &SegmentFigures::datagrams, kFirstSegment},
    {"feedhandler_received_bytes_total", "Bytes of the datagrams received", &SegmentFigures::bytes, kFirstSegment},
    {"feedhandler_kernel_dropped_datagrams_total", "Datagrams the kernel dropped on a full receive socket",
     &SegmentFigures::kernelDrops, kFirstSegment},
    {"feedhandler_datagrams_over_512_bytes_total", "NSE datagrams above 512 bytes, received whole",
     &SegmentFigures::datagramsOver512, kFirstSegment},
    {"feedhandler_truncated_datagrams_total", "Datagrams longer than the receiver takes, cut to its buffer",
     &SegmentFigures::truncated, kFirstSegment},
};

constexpr SegmentFamily kFramingCounters[] = {
    {"feedhandler_framed_packets_total", "Packets split out of datagrams", &SegmentFigures::packetsFramed,
     kFirstSegment},
    {"feedhandler_decompress_failures_total", "Packets that did not decompress into a message",
     &SegmentFigures::decompressFailures, kFirstSegment},
};

constexpr SegmentFamily kOutputCounters[] = {
    {"feedhandler_unhandled_messages_total", "Messages of a code no decoder handles", &SegmentFigures::unhandled,
     kFirstSegment},
    {"feedhandler_forwarded_packets_total", "Packets handed to the Bridge outputs", &SegmentFigures::forwardedPackets,
     kFirstSegment},
    {"feedhandler_forwarded_bytes_total", "Bytes of the packets handed to the Bridge outputs",
     &SegmentFigures::forwardedBytes, kFirstSegment},
    {"feedhandler_recorded_bytes_total", "Bytes of whole datagrams written to the raw recordings",
     &SegmentFigures::recordedBytes, kSegUnknown},
    {"feedhandler_recording_failures_total", "Datagrams the raw recording failed to write",
     &SegmentFigures::recordingFailures, kSegUnknown},
    {"feedhandler_recording_lost_datagrams_total", "Datagrams that did not reach the raw recording whole",
     &SegmentFigures::recordingLost, kSegUnknown},
};

// Label values by index of the figure arrays.
constexpr const char* kMalformedReasons[FeedMetrics::kMalformedKinds] = {"too_short", "runs_past", "short_header",
                                                                         "bad_block"};
constexpr const char* kDropReasons[FeedMetrics::kDropKinds] = {"slow", "closed", "error"};
constexpr const char* kOutputs[FeedMetrics::kOutputs] = {"tcp", "udp", "multicast", "delta"};

template <std::size_t N>
void AddSegmentFamilies(Families& f, const FeedMetrics& m, const SegmentFamily (&table)[N]) {
  for (const SegmentFamily& s : table) {
    f.Begin(s.name, s.help, MetricType::Counter);
    for (int seg = s.firstSegment; seg <= kLastSegment; ++seg)
      f.Add(m.Of(seg).*(s.figure), {{"segment", SegmentLabel(seg)}});
  }
}

void AddDecodedMessages(Families& f, const FeedMetrics& m) {
  f.Begin("feedhandler_decoded_messages_total", "Messages decoded, by transaction code or message type",
          MetricType::Counter);
  for (int seg = kFirstSegment; seg <= kLastSegment; ++seg) {
    const std::string segment = SegmentLabel(seg);
    for (int code = 0; code <= FeedMetrics::kMaxCode; ++code) {
      const std::uint64_t n = m.Messages(seg, code);
      if (n != 0) f.Add(static_cast<double>(n), {{"segment", segment}, {"code", std::to_string(code)}});
    }
    if (const std::uint64_t other = m.Of(seg).otherCodes.Get(); other != 0)
      f.Add(static_cast<double>(other), {{"segment", segment}, {"code", "other"}});
  }
}

void AddUnknownForms(Families& f, const FeedMetrics& m) {
  f.Begin("feedhandler_unknown_form_messages_total",
          "Messages of a known code whose MessageLength matches none of its forms, not decoded", MetricType::Counter);
  for (int seg = kFirstSegment; seg <= kLastSegment; ++seg) {
    const CodeCounts& counts = m.Of(seg).unknownForms;
    for (int i = 0; i < CodeCounts::kSlots; ++i) {
      const int code = counts.Code(i);
      if (code == 0) continue;
      f.Add(static_cast<double>(counts.Count(i)),
            {{"segment", SegmentLabel(seg)}, {"code", code == CodeCounts::kOther ? "other" : std::to_string(code)}});
    }
  }
}

ClientMetric::Histogram TickToBridge(const LatencyHistogram& h) {
  ClientMetric::Histogram out;
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < LatencyHistogram::kBuckets; ++i) {
    cumulative += h.Bucket(i);
    const double bound = i < LatencyHistogram::kBoundsNs.size()
                             ? static_cast<double>(LatencyHistogram::kBoundsNs[i]) / 1e9
                             : std::numeric_limits<double>::infinity();
    out.bucket.push_back({cumulative, bound});
  }
  // The count is the +Inf bucket, so the two agree even while observations land.
  out.sample_count = cumulative;
  out.sample_sum = static_cast<double>(h.SumNs()) / 1e9;
  return out;
}

double Seconds(std::chrono::duration<double> d) { return d.count(); }

// Enough server threads that a scrape finds one free while 63 other clients
// hold a connection open, and a client that does not send its whole request
// within the timeout loses its connection: 50 idle or trickling clients
// neither block nor delay a scrape.
constexpr int kServerThreads = 64;
constexpr std::chrono::milliseconds kRequestTimeout{250};
constexpr std::chrono::milliseconds kWakeEvery{10};

// Opens a connection to the listening socket at to and closes it again once
// it is made (or refused, or after 50 ms): it wakes the server's listening
// thread from its poll.
void WakeListener(const sockaddr_in& to) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    (void)::poll(&p, 1, 50);
  }
  ::close(fd);
}

}  // namespace

const char* BuildVersion() { return FH_BUILD_VERSION; }

FeedMetricsCollectable::FeedMetricsCollectable(const FeedMetrics& metrics, std::string version)
    : metrics_(metrics), version_(std::move(version)) {}

std::vector<MetricFamily> FeedMetricsCollectable::Collect() const {
  const FeedMetrics& m = metrics_;
  Families f;
  AddSegmentFamilies(f, m, kSegmentCounters);
  f.Begin("feedhandler_receive_buffer_bytes", "Receive socket buffer as granted by the kernel", MetricType::Gauge);
  for (int seg = kFirstSegment; seg <= kLastSegment; ++seg)
    f.Add(m.Of(seg).receiveBufferBytes, {{"segment", SegmentLabel(seg)}});
  f.Begin("feedhandler_unknown_net_id_datagrams_total", "Datagrams of no known net id", MetricType::Counter);
  f.Add(m.Of(kSegUnknown).datagrams);

  AddSegmentFamilies(f, m, kFramingCounters);
  f.Begin("feedhandler_malformed_total", "Datagrams and packets cut short or dropped as malformed",
          MetricType::Counter);
  for (int seg = kFirstSegment; seg <= kLastSegment; ++seg)
    for (int k = 0; k < FeedMetrics::kMalformedKinds; ++k)
      f.Add(m.Of(seg).malformed[static_cast<std::size_t>(k)],
            {{"segment", SegmentLabel(seg)}, {"reason", kMalformedReasons[k]}});
  AddDecodedMessages(f, m);
  AddUnknownForms(f, m);
  AddSegmentFamilies(f, m, kOutputCounters);

  f.Begin("feedhandler_delta_datagrams_total", "Delta-line datagrams broadcast, by port", MetricType::Counter);
  f.Add(m.deltaAll, {{"port", "2007"}});
  f.Add(m.deltaSubscribed, {{"port", "2017"}});
  f.Begin("feedhandler_output_frames_total", "Datagrams sent on the UDP and multicast outputs", MetricType::Counter);
  f.Add(m.udpFrames, {{"output", "udp"}});
  f.Add(m.mcastFrames, {{"output", "multicast"}});
  f.Begin("feedhandler_send_failures_total", "Sends that failed, by output", MetricType::Counter);
  for (int k = 0; k < FeedMetrics::kOutputs; ++k)
    f.Add(m.sendFailures[static_cast<std::size_t>(k)], {{"output", kOutputs[k]}});

  f.Begin("feedhandler_bridge_connected", "1 while a Bridge is connected", MetricType::Gauge);
  f.Add(m.bridgeConnected);
  f.Begin("feedhandler_bridge_connections_total", "Bridge connections, accepted or refused by the allow-list",
          MetricType::Counter);
  f.Add(m.bridgeAccepted, {{"result", "accepted"}});
  f.Add(m.bridgeRefused, {{"result", "refused"}});
  f.Begin("feedhandler_bridge_drops_total", "Bridges let go, by reason", MetricType::Counter);
  for (int k = 0; k < FeedMetrics::kDropKinds; ++k)
    f.Add(m.bridgeDrops[static_cast<std::size_t>(k)], {{"reason", kDropReasons[k]}});
  f.Begin("feedhandler_bridge_requests_total", "Subscription requests received from Bridges", MetricType::Counter);
  f.Add(m.bridgeRequests);
  f.Begin("feedhandler_bridge_request_records_total", "Instrument records created by Bridge requests",
          MetricType::Counter);
  f.Add(m.bridgeRequestRecords);
  f.Begin("feedhandler_bridge_queue_bytes", "Bytes queued for the current Bridge", MetricType::Gauge);
  f.Add(m.bridgeQueueBytes);
  f.Begin("feedhandler_bridge_queue_high_water_bytes", "Most bytes ever queued for a Bridge", MetricType::Gauge);
  f.Add(m.bridgeQueueHighWater);

  f.Begin("feedhandler_log_lines_total", "Log lines written", MetricType::Counter);
  f.Add(m.logLines);
  f.Begin("feedhandler_log_lines_not_shown_total", "Log lines headless standard output fell behind on",
          MetricType::Counter);
  f.Add(m.logLinesNotShown);

  f.Begin("feedhandler_tick_to_bridge_seconds", "From a datagram's receipt to its packet's hand-off to the Bridge",
          MetricType::Histogram);
  f.AddHistogram(TickToBridge(m.tickToBridge));

  f.Begin("feedhandler_start_time_seconds", "Start of the run, in Unix seconds", MetricType::Gauge);
  f.Add(Seconds(m.StartTime().time_since_epoch()));
  f.Begin("feedhandler_uptime_seconds", "Time since the start of the run", MetricType::Gauge);
  f.Add(Seconds(m.Uptime()));
  f.Begin("feedhandler_build_info", "The program's version, as a label", MetricType::Gauge);
  f.Add(1.0, {{"version", version_}});
  return f.Take();
}

std::string MetricsText(const std::vector<MetricFamily>& families) {
  std::ostringstream all;
  prometheus::TextSerializer().Serialize(all, families);
  std::string out;
  std::istringstream in(all.str());
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.front() == '#') continue;
    out += line;
    out += '\n';
  }
  return out;
}

bool ParseMetricsAddress(std::string_view text, std::string* address, int* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string host(text.substr(0, colon));
  const std::string_view digits = text.substr(colon + 1);
  in_addr unused{};
  int n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (::inet_pton(AF_INET, host.c_str(), &unused) != 1 || digits.empty() || ec != std::errc() ||
      end != digits.data() + digits.size() || n < 1 || n > 65535)
    return false;
  *address = host;
  *port = n;
  return true;
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Start(const std::string& address, int port,
                                                        const FeedMetrics& metrics, std::string* error) {
  const std::string where = address + ":" + std::to_string(port);
  const std::string what = "metrics endpoint " + where + ": ";
  // The HTTP server reports only that it could not start; a bind of our own
  // first says why (address in use, not an address of this host, ...). It
  // allows address reuse as the server does, so the connections of the last
  // run's scrapes (waiting out their close) do not hold the port; a server
  // still listening there does.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    *error = what + "not a dotted IPv4 address";
    return nullptr;
  }
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (probe < 0 || ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int err = errno;
    if (probe >= 0) ::close(probe);
    char text[256];
    *error = what + strerror_r(err, text, sizeof text);
    return nullptr;
  }
  ::close(probe);

  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint());
  endpoint->collectable_ = std::make_shared<FeedMetricsCollectable>(metrics, BuildVersion());
  try {
    endpoint->exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", where,                                      //
        "num_threads", std::to_string(kServerThreads),                 //
        "request_timeout_ms", std::to_string(kRequestTimeout.count()),  //
        "enable_keep_alive", "no"});
  } catch (const std::exception& e) {
    *error = what + e.what();
    return nullptr;
  }
  endpoint->exposer_->RegisterCollectable(endpoint->collectable_);
  const std::vector<int> ports = endpoint->exposer_->GetListeningPorts();
  endpoint->port_ = ports.empty() ? 0 : ports.front();
  endpoint->wake_ = local;
  if (endpoint->wake_.sin_addr.s_addr == htonl(INADDR_ANY)) endpoint->wake_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  endpoint->wake_.sin_port = htons(static_cast<std::uint16_t>(endpoint->port_));
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  // The server's listening thread looks at its stop flag only between polls
  // of its sockets, which last 2 s when nobody connects: a connection of our
  // own every few milliseconds ends each wait until the server has stopped.
  // Its workers wait at most kRequestTimeout for a client's bytes. No scrape
  // runs once the server's threads are gone.
  if (exposer_ == nullptr) return;
  std::atomic<bool> stopped{false};
  std::thread waker([this, &stopped] {
    while (!stopped.load(std::memory_order_acquire)) {
      WakeListener(wake_);
      std::this_thread::sleep_for(kWakeEvery);
    }
  });
  exposer_.reset();
  stopped.store(true, std::memory_order_release);
  waker.join();
}

int MetricsEndpoint::Port() const { return port_; }

}  // namespace fh
