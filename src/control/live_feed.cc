#include "control/live_feed.h"

#include <cstring>

#include "distribution/output_sockets.h"
#include "feedstate/exg_seg.h"
#include "instruments/ado_database.h"
#include "instruments/masters.h"
#include "intake/receiver.h"

namespace fh {
namespace {

class NseReceiver final : public RunningReceiver {
 public:
  NseReceiver(FeedContext& context, Framing& framing, const ReceiverArgs& args)
      : thread_(context, framing, args) {}
  void Stop() override { thread_.Stop(); }

 private:
  ReceiverThread thread_;
};

}  // namespace

LiveFeed::LiveFeed(const FeedContext& context, BridgeServerSettings bridge)
    : context_(context),
      transport_(context_),
      ncm_(context_, instruments_, ncmOut_, industryIndex_),
      nfo_(context_, instruments_, nfoOut_, industryIndex_),
      ncd_(context_, instruments_, ncdOut_),
      framing_(context_),
      bse_(context_, instruments_, bseOut_),
      server_(context_, instruments_, transport_, std::move(bridge)) {
  framing_.SetDecoder(kSegNcm, nse::MakeDecoderEntry(ncm_));
  framing_.SetDecoder(kSegNfo, nse::MakeDecoderEntry(nfo_));
  framing_.SetDecoder(kSegNcd, nse::MakeDecoderEntry(ncd_));
}

LiveFeed::~LiveFeed() {
  if (bseReceiver_) bseReceiver_->Stop();
  server_.Stop();
}

void LiveFeed::LoadMasters() {
  // The dialog's one database connection; the loaders open and close it.
  CADODatabase database(context_.places);
  LoadSecurityMaster(context_, database, instruments_);
  LoadContractMaster(context_, database, instruments_);
}

// Every NSE receiver feeds the one framing, which routes each datagram by its
// net id; the segment names the dialog's slot for the receiver and the figures
// its receiving adds to.
std::unique_ptr<RunningReceiver> LiveFeed::StartNseReceiver(int seg, std::string_view address, int port) {
  return std::make_unique<NseReceiver>(context_, framing_, ReceiverArgs::Make(address, port, seg));
}

void LiveFeed::StartBseReceiver(std::string_view address, int port) {
  if (bseReceiver_ && bseReceiver_->CurrentState() != BseReceiverThread::State::kEnded) return;
  bseReceiver_.reset();
  BseReceiverArgs args;
  const std::size_t n = std::min(address.size(), sizeof args.groupIp - 1);
  std::memcpy(args.groupIp, address.data(), n);
  args.groupIp[n] = '\0';
  args.port = port;
  bseReceiver_ = std::make_unique<BseReceiverThread>(context_, bse_, bseOut_, args);
}

void LiveFeed::StartBridgeServer() { server_.Start(); }

void LiveFeed::OnUdpClicked() { fh::OnUdpClicked(context_, transport_, server_.LastBridgeAddress()); }

void LiveFeed::OnMcastClicked() { fh::OnMcastClicked(context_, transport_); }

void LiveFeed::OnBcastDeltaClicked() { fh::OnBcastDeltaClicked(context_, transport_); }

bool LiveFeed::OpenBpackFiles(int seg) {
  const char* name = BpackFileName(seg);
  const char* counterName = BpackCounterFileName(seg);
  if (name == nullptr || counterName == nullptr) return true;
  return fh::OpenBpackFiles(context_, seg, name, counterName) == 1;
}

long long LiveFeed::CmCounter(CmCount what, int code) const {
  const PacketCounters& packets = framing_.Counters();
  switch (what) {
    case CmCount::kMessagesToDecoder: return ncm_.MessageTotal();
    case CmCount::kDatagrams: return packets.Datagrams(kSegNcm);
    case CmCount::kCompressedPackets: return packets.Compressed(kSegNcm);
    case CmCount::kUncompressedPackets: return packets.Uncompressed(kSegNcm);
    case CmCount::kByCode:
      return ncm_.Count(code);
  }
  return 0;
}

}  // namespace fh
