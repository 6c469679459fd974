// FeedApplication: the composition root of one program run. It owns the
// shared feed state (options, log list, counters grid, segment files, places,
// ports), the live feed pieces and the dialog, and hands them to each other by
// reference. A front end creates one with its own message boxes and program
// exit, calls Dialog().Initialise(), and drives the dialog.
//
// Thread safety: created, used and destroyed on the user-interface thread.
// Destruction stops every thread the run started (the metrics endpoint, the
// NSE receivers, then the BSE receiver and the bridge server) before the
// shared state goes away.
//
// With a metrics address set, the run's figures are served there from
// construction on; an address that cannot be served is reported on standard
// error in the error-print form and ends the program with exit code 1
// through the ProgramExit, as the other socket set-up failures do. A wildcard
// address (0.0.0.0) is served, with one line on standard error saying that
// the figures are open on every interface.
#pragma once

#include <memory>
#include <string>

#include "control/feed_handler_dialog.h"
#include "control/live_feed.h"
#include "control/metrics_endpoint.h"
#include "feedstate/feed_context.h"

namespace fh {

// What the command line sets for a run beside its folders.
struct RunSettings {
  BridgeServerSettings bridge;           // --bridge-listen, --bridge-allow
  int receiveBatch = kMaxReceiveBatch;   // --batch or FH_BATCH; 1 turns batching off
  std::string metricsAddress;            // --metrics: dotted IPv4 address; "" serves no metrics
  int metricsPort = 0;
};

class FeedApplication {
 public:
  FeedApplication(FilePlaces places, MessageBoxes& boxes, ProgramExit& exit, const RunSettings& settings = {});
  ~FeedApplication();
  FeedApplication(const FeedApplication&) = delete;
  FeedApplication& operator=(const FeedApplication&) = delete;

  FeedHandlerDialog& Dialog() { return *dialog_; }
  const FeedContext& Context() const { return context_; }
  LiveFeed& Feed() { return *feed_; }
  // Null unless metrics are served.
  const MetricsEndpoint* Metrics() const { return metricsEndpoint_.get(); }

 private:
  FeedHandlerOptions options_;
  LogList log_;
  CounterGrid grid_;
  SegmentFiles files_;
  const FilePlaces places_;
  InstancePorts ports_;
  FeedMetrics metrics_;
  FeedContext context_;
  std::unique_ptr<LiveFeed> feed_;
  std::unique_ptr<FeedHandlerDialog> dialog_;
  std::unique_ptr<MetricsEndpoint> metricsEndpoint_;
};

}  // namespace fh
