#include "control/feed_application.h"

#include <cstdio>

namespace fh {

FeedApplication::FeedApplication(FilePlaces places, MessageBoxes& boxes, ProgramExit& exit,
                                 const RunSettings& settings)
    : places_(std::move(places)),
      context_{options_, log_, grid_, files_, places_, ports_, boxes, exit, metrics_},
      feed_(std::make_unique<LiveFeed>(context_, settings.bridge)),
      dialog_(std::make_unique<FeedHandlerDialog>(context_, *feed_)) {
  options_.receiveBatch.store(settings.receiveBatch, std::memory_order_relaxed);  // read as receivers start
  log_.CountLinesIn(&metrics_.logLines);
  if (!settings.metricsAddress.empty()) {
    std::string error;
    metricsEndpoint_ = MetricsEndpoint::Start(settings.metricsAddress, settings.metricsPort, metrics_, &error);
    if (metricsEndpoint_ == nullptr) {
      std::fprintf(stderr, "%s\n", error.c_str());
      context_.programExit.Exit(1);
    } else if (settings.metricsAddress == "0.0.0.0") {
      std::fprintf(stderr,
                   "metrics endpoint 0.0.0.0:%d: open on every interface; any host that reaches this one can read "
                   "the feed's figures\n",
                   settings.metricsPort);
    }
  }
}

FeedApplication::~FeedApplication() {
  metricsEndpoint_.reset();  // no scrape reads the figures once teardown starts
  dialog_.reset();  // ends the NSE receivers
  feed_.reset();    // ends the BSE receiver, the bridge server and its clients
  log_.CountLinesIn(nullptr);  // the figures go before the log list
}

}  // namespace fh
