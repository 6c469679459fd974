// The shared state one feed run works on, handed by reference to every
// subsystem. The composition root (the dialog model) owns the objects; tests
// build fresh ones.
#pragma once

#include "feedstate/counter_grid.h"
#include "feedstate/feed_metrics.h"
#include "feedstate/file_places.h"
#include "feedstate/log_list.h"
#include "feedstate/options.h"
#include "feedstate/platform.h"
#include "feedstate/segment_files.h"

namespace fh {

struct FeedContext {
  FeedHandlerOptions& options;
  LogList& log;
  CounterGrid& grid;
  SegmentFiles& files;
  const FilePlaces& places;
  InstancePorts& ports;
  MessageBoxes& messageBoxes;
  ProgramExit& programExit;
  FeedMetrics& metrics;
};

}  // namespace fh
