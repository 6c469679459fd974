// The control dialog over a fake feed: the fresh feed state of the support
// folder, a recorder of the feed services, and one ordered event list that
// the services, the message boxes and the program exit all write into.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/feed_handler_dialog.h"
#include "support/feed_state.h"

namespace fh::testing {

using Events = std::vector<std::string>;

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
  // Every counter reads as a value that names it: 100000 * (kind + 1) + code.
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

struct DialogRig : FeedState {
  Events events;
  FakeServices services{events, ports, grid};
  std::unique_ptr<FeedHandlerDialog> dialog;

  DialogRig() {
    grid.SetRows(0);  // not laid out yet: the dialog's initialisation does it
    boxes.onEvent = [this](const std::string& e) { events.push_back(e); };
    exit.onEvent = [this](const std::string& e) { events.push_back(e); };
  }

  FeedHandlerDialog& Open() {
    dialog = std::make_unique<FeedHandlerDialog>(context, services);
    dialog->Initialise();
    return *dialog;
  }
  // Opened, with the masters' load already taken off the events.
  FeedHandlerDialog& Ready() {
    Open();
    events.clear();
    return *dialog;
  }
  // The events that start with prefix.
  int Count(std::string_view prefix) const {
    int n = 0;
    for (const auto& x : events) n += x.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  // The message boxes among the events, in order.
  std::vector<std::string> Boxes() const {
    std::vector<std::string> out;
    for (const auto& x : events)
      if (x.rfind("box:", 0) == 0) out.push_back(x.substr(4));
    return out;
  }
};

}  // namespace fh::testing
