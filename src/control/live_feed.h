// LiveFeed: the real feed pieces behind the control dialog. It owns the
// instrument table, the bridge transport, the bridge server, the decoders and
// the receiver threads, and wires them to the shared feed state.
//
// Thread safety: every member is called on the user-interface thread; the
// threads it starts reach the shared state through the FeedContext.
// Destruction stops and joins every thread it started.
#pragma once

#include <memory>
#include <string_view>

#include "control/feed_services.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"

namespace fh {

class LiveFeed final : public FeedServices {
 public:
  explicit LiveFeed(const FeedContext& context);
  ~LiveFeed() override;
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  void LoadMasters() override;
  std::unique_ptr<RunningReceiver> StartNseReceiver(int seg, std::string_view address, int port) override;
  void StartBseReceiver(std::string_view address, int port) override;
  void StartBridgeServer() override;
  void OnUdpClicked() override;
  void OnMcastClicked() override;
  void OnBcastDeltaClicked() override;
  bool OpenBpackFiles(int seg) override;
  long long CmCounter(CmCount what, int code) const override;

  InstrumentMap& Instruments() { return instruments_; }

 private:
  FeedContext context_;
  InstrumentMap instruments_;
};

}  // namespace fh
