// Test doubles for the control dialog: recorders of message boxes, program
// exit and the feed services, all writing into one ordered event list.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/feed_handler_dialog.h"
#include "feedstate/feed_context.h"
#include "support/test_dir.h"

namespace fh::testing {

using Events = std::vector<std::string>;

class RecordingBoxes final : public MessageBoxes {
 public:
  explicit RecordingBoxes(Events& events) : events_(events) {}
  void Show(std::string_view text) override {
    shown.emplace_back(text);
    events_.push_back("box:" + std::string(text));
  }
  std::vector<std::string> shown;

 private:
  Events& events_;
};

class RecordingExit final : public ProgramExit {
 public:
  explicit RecordingExit(Events& events) : events_(events) {}
  void Exit(int code) override {
    codes.push_back(code);
    events_.push_back("exit:" + std::to_string(code));
  }
  std::vector<int> codes;

 private:
  Events& events_;
};

class FakeReceiver final : public RunningReceiver {
 public:
  FakeReceiver(Events& events, int seg) : events_(events), seg_(seg) {}
  void Stop() override {
    if (!stopped_) events_.push_back("stop:" + std::to_string(seg_));
    stopped_ = true;
  }

 private:
  Events& events_;
  int seg_;
  bool stopped_ = false;
};

class FakeServices final : public FeedServices {
 public:
  FakeServices(Events& events, const InstancePorts& ports, const CounterGrid& grid)
      : events_(events), ports_(ports), grid_(grid) {}

  void LoadMasters() override {
    events_.push_back("masters port=" + std::to_string(ports_.instancePort.load()) +
                      " gridRows=" + std::to_string(grid_.Rows()));
  }
  std::unique_ptr<RunningReceiver> StartNseReceiver(int seg, std::string_view address, int port) override {
    events_.push_back("nse:" + std::to_string(seg) + " " + std::string(address) + " " + std::to_string(port));
    return std::make_unique<FakeReceiver>(events_, seg);
  }
  void StartBseReceiver(std::string_view address, int port) override {
    events_.push_back("bse:" + std::string(address) + " " + std::to_string(port));
  }
  void StartBridgeServer() override { events_.push_back("server"); }
  void OnUdpClicked() override { events_.push_back("udp"); }
  void OnMcastClicked() override { events_.push_back("mcast"); }
  void OnBcastDeltaClicked() override { events_.push_back("delta"); }
  bool OpenBpackFiles(int seg) override {
    events_.push_back("bpack:" + std::to_string(seg));
    return true;
  }
  // Every counter reads as a value that names it: 100000 * kind + code.
  long long CmCounter(CmCount what, int code) const override {
    ++counterReads;
    return 100000LL * (static_cast<int>(what) + 1) + code;
  }
  mutable int counterReads = 0;

 private:
  Events& events_;
  const InstancePorts& ports_;
  const CounterGrid& grid_;
};

// A fresh feed state in temporary folders, a recording platform and a fake
// feed behind one dialog.
struct DialogRig {
  Events events;
  TempDir work;
  TempDir drive;
  FeedHandlerOptions options;
  LogList log;
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places{work.path(), drive.path()};
  InstancePorts ports;
  RecordingBoxes boxes{events};
  RecordingExit exit{events};
  FakeServices services{events, ports, grid};
  FeedContext context{options, log, grid, files, places, ports, boxes, exit};
  std::unique_ptr<FeedHandlerDialog> dialog;

  FeedHandlerDialog& Open() {
    dialog = std::make_unique<FeedHandlerDialog>(context, services);
    dialog->Initialise();
    return *dialog;
  }
  std::string WorkFile(const std::string& name) const { return work.File(name); }
  bool HasEvent(std::string_view e) const {
    for (const auto& x : events)
      if (x == e) return true;
    return false;
  }
  int CountPrefix(std::string_view prefix) const {
    int n = 0;
    for (const auto& x : events)
      if (x.rfind(prefix, 0) == 0) ++n;
    return n;
  }
};

}  // namespace fh::testing
