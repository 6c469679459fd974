// The feed's figures for its operators, in the Prometheus text exposition:
// FeedMetricsCollectable turns one FeedMetrics into metric families at the
// moment it is asked (nothing is copied or kept between scrapes, and nothing
// is added to the paths that count); MetricsEndpoint serves those families
// over HTTP at /metrics on one address and port; MetricsText gives the same
// samples as plain lines for the headless "stats" command.
//
// Every family is named feedhandler_*, in base units (seconds, bytes).
// Counters per segment carry segment="NCM"/"NFO"/"NCD"/"BCM" (and "unknown"
// for the recording figures of datagrams of no known net id); decoded
// messages are listed only for codes seen at least once.
//
// Thread safety: Collect and MetricsText may be called from any thread at any
// time while the FeedMetrics lives (they only load its relaxed atomics). A
// MetricsEndpoint answers scrapes on its own server threads; create and
// destroy it on one thread, and destroy it before the FeedMetrics it reads.
#pragma once

#include <netinet/in.h>
#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "feedstate/feed_metrics.h"

namespace prometheus {
class Exposer;
}

namespace fh {

// The program's version for feedhandler_build_info: the project version, with
// "+<git short hash>" when it was built from a git checkout.
const char* BuildVersion();

class FeedMetricsCollectable final : public prometheus::Collectable {
 public:
  FeedMetricsCollectable(const FeedMetrics& metrics, std::string version);
  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  const FeedMetrics& metrics_;
  const std::string version_;
};

// The exposition of families without its "# HELP" and "# TYPE" lines: one
// sample a line, "name{labels} value".
std::string MetricsText(const std::vector<prometheus::MetricFamily>& families);

// Splits "A.B.C.D:PORT" (a dotted IPv4 address, port 1 to 65535). False for
// anything else.
bool ParseMetricsAddress(std::string_view text, std::string* address, int* port);

class MetricsEndpoint {
 public:
  // Serves metrics at http://address:port/metrics. Null when the address
  // cannot be served, with *error in the error-print form ("metrics endpoint
  // 127.0.0.1:9100: Address already in use"). Scrapes are served side by side
  // on 64 threads; a client has 250 ms to send its request, so idle or
  // trickling connections neither block nor delay a scrape. The port of a
  // run that ended just now is free again (address reuse).
  static std::unique_ptr<MetricsEndpoint> Start(const std::string& address, int port, const FeedMetrics& metrics,
                                                std::string* error);
  // Stops the server within about the request timeout, also with clients
  // connected.
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The port the server listens on.
  int Port() const;

 private:
  MetricsEndpoint() = default;
  std::shared_ptr<FeedMetricsCollectable> collectable_;
  std::unique_ptr<prometheus::Exposer> exposer_;
  int port_ = 0;
  sockaddr_in wake_{};  // where a connection wakes the server's listening thread
};

}  // namespace fh
