// Two receivers may frame datagrams of one segment at the same time (a group
// that carries another segment's datagrams); the dialog reads the counters
// meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "feedstate/exg_seg.h"
#include "intake/framing.h"
#include "support/feed_state.h"
#include "support/nse_datagram.h"

namespace fh {
namespace {

using testing::Bytes;
using testing::DatagramBuilder;
using testing::PlainPacket;

// The calls count is a plain int on purpose: the framing runs one segment's
// decoder on one thread at a time, which ThreadSanitizer checks; any build sees
// two threads inside one decoder at once.
struct CountingDecoder {
  int calls = 0;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  static void Decode(void* self, std::uint8_t* message, int length, std::int64_t) {
    auto* me = static_cast<CountingDecoder*>(self);
    if (me->inside.fetch_add(1) != 0) ++me->overlaps;
    ++me->calls;
    if (length > 0) message[0] ^= 1;
    std::this_thread::yield();
    me->inside.fetch_sub(1);
  }
};

TEST(FramingThreads, ReceiversSharingASegmentAndACounterReaderStayConsistent) {
  testing::FeedState feed;
  feed.options.writeBin = 1;
  feed.options.pktCounters = 1;
  ASSERT_TRUE(feed.files.Open(kSegNfo, SegmentFiles::kBinFile, feed.dir.File("fo"), "ab+"));
  Framing framing(feed.context);
  CountingDecoder fo, cm;
  framing.SetDecoder(kSegNfo, DecoderEntry{&CountingDecoder::Decode, &fo});
  framing.SetDecoder(kSegNcm, DecoderEntry{&CountingDecoder::Decode, &cm});
  const Bytes foDatagram =
      DatagramBuilder(kNetIdFo).Compressed(PlainPacket{7208, 466}.Build()).Uncompressed(PlainPacket{7202, 100}.Build()).Build();
  const Bytes cmDatagram = DatagramBuilder(kNetIdCm).Compressed(PlainPacket{7208, 466}.Build()).Build();
  constexpr int kRounds = 400;

  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (std::uint32_t last = 0, now = 0; !done.load(); last = now) {
      now = framing.Counters().Datagrams(kSegNfo);
      EXPECT_GE(now, last);
      (void)feed.grid.CellText(1, 1);
    }
  });
  const auto receive = [&] {
    for (int i = 0; i < kRounds; ++i) {
      Bytes foBuf = foDatagram;
      framing.FrameFoDatagram(foBuf.data(), static_cast<int>(foBuf.size()));
      Bytes cmBuf = cmDatagram;
      framing.FrameCmDatagram(cmBuf.data(), static_cast<int>(cmBuf.size()));
    }
  };
  std::thread a(receive), b(receive);
  a.join();
  b.join();
  done = true;
  reader.join();

  EXPECT_EQ(fo.overlaps + cm.overlaps, 0);
  EXPECT_EQ(fo.calls, 2 * kRounds * 2);
  EXPECT_EQ(cm.calls, 2 * kRounds);
  EXPECT_EQ(framing.Counters().Datagrams(kSegNfo), 2u * kRounds);
  EXPECT_EQ(framing.Counters().Compressed(kSegNfo), 2u * kRounds);
  EXPECT_EQ(feed.grid.CellText(1, 1), std::to_string(2 * kRounds));
  EXPECT_EQ(testing::ReadFile(feed.dir.File("fo")).size(), std::size_t{2} * kRounds * foDatagram.size());
}

}  // namespace
}  // namespace fh
