// LiveFeed: the real feed pieces behind the control dialog. It owns the
// instrument table, the bridge transport and server, the NSE framing with its
// three decoders, the BSE decoder and receiver, and hands out the NSE receiver
// threads that Start asks for.
//
// Thread safety: every member is called on the user-interface thread; the
// threads it starts reach the shared state through the FeedContext.
// Destruction stops and joins the BSE receiver and the bridge server (with its
// client threads). The NSE receivers it handed out use the framing and must be
// stopped before the LiveFeed goes (FeedApplication destroys the dialog, which
// holds them, first).
#pragma once

#include <memory>
#include <string_view>

#include "bse/bse_decoder.h"
#include "bse/bse_receiver.h"
#include "control/feed_services.h"
#include "distribution/bridge_server.h"
#include "distribution/bridge_transport.h"
#include "distribution/send_batch.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"
#include "intake/framing.h"
#include "nse/decoder_support.h"
#include "nse/ncd_decoder.h"
#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"

namespace fh {

class LiveFeed final : public FeedServices {
 public:
  explicit LiveFeed(const FeedContext& context, BridgeServerSettings bridge = {});
  ~LiveFeed() override;
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  void LoadMasters() override;
  std::unique_ptr<RunningReceiver> StartNseReceiver(int seg, std::string_view address, int port) override;
  // A BSE receiver that is still running keeps running: a second Start does
  // not bind the port again.
  void StartBseReceiver(std::string_view address, int port) override;
  void StartBridgeServer() override;
  void OnUdpClicked() override;
  void OnMcastClicked() override;
  void OnBcastDeltaClicked() override;
  bool OpenBpackFiles(int seg) override;
  long long CmCounter(CmCount what, int code) const override;

  InstrumentMap& Instruments() { return instruments_; }
  const Framing& NseFraming() const { return framing_; }
  const BseReceiverThread* BseReceiver() const { return bseReceiver_.get(); }

 private:
  FeedContext context_;
  InstrumentMap instruments_;
  BridgeTransport transport_;
  // Each segment's decoder writes through its own batch (one thread at a
  // time each: the framing's segment lock, or the BSE receiver).
  SendBatch ncmOut_{transport_, context_.options};
  SendBatch nfoOut_{transport_, context_.options};
  SendBatch ncdOut_{transport_, context_.options};
  SendBatch bseOut_{transport_, context_.options};
  nse::IndustryIndexCounters industryIndex_;
  nse::NcmDecoder ncm_;
  nse::NfoDecoder nfo_;
  nse::NcdDecoder ncd_;
  Framing framing_;
  bse::BseDecoder bse_;
  std::unique_ptr<BseReceiverThread> bseReceiver_;
  TcpBridgeServer server_;
};

}  // namespace fh
