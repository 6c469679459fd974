#include "control/live_feed.h"

namespace fh {

LiveFeed::LiveFeed(const FeedContext& context) : context_(context) {}

LiveFeed::~LiveFeed() = default;

void LiveFeed::LoadMasters() {}

std::unique_ptr<RunningReceiver> LiveFeed::StartNseReceiver(int, std::string_view, int) { return nullptr; }

void LiveFeed::StartBseReceiver(std::string_view, int) {}

void LiveFeed::StartBridgeServer() {}

void LiveFeed::OnUdpClicked() {}

void LiveFeed::OnMcastClicked() {}

void LiveFeed::OnBcastDeltaClicked() {}

bool LiveFeed::OpenBpackFiles(int) { return true; }

long long LiveFeed::CmCounter(CmCount, int) const { return 0; }

}  // namespace fh
