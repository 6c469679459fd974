#include "intake/decompress.h"

#include <gtest/gtest.h>

#include "support/nse_datagram.h"

namespace fh {
namespace {

using testing::Bytes;
using testing::PlainPacket;

TEST(DecompressPacket, RestoresWhatTheExchangesCompressorPacked) {
  const Bytes plain = PlainPacket{7208, 466}.Build();
  const Bytes packed = testing::Compress(plain);
  ASSERT_LT(packed.size(), plain.size());
  Bytes out(5120, 0xee);
  const int n = DecompressPacket(out.data(), 5120, packed.data(), static_cast<int>(packed.size()));
  ASSERT_EQ(n, static_cast<int>(plain.size()));
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
}

TEST(DecompressPacket, NeverWritesPastItsCapacity) {
  const Bytes plain = PlainPacket{7208, 1500}.Build();  // 1508 bytes
  const Bytes packed = testing::Compress(plain);
  Bytes out(1025, 0);
  out[1024] = 0xc3;  // marker just past the capacity
  EXPECT_EQ(DecompressPacket(out.data(), 1024, packed.data(), static_cast<int>(packed.size())), -1);
  EXPECT_EQ(out[1024], 0xc3);

  Bytes exact(plain.size() + 1, 0);
  exact.back() = 0xc3;
  EXPECT_EQ(DecompressPacket(exact.data(), static_cast<int>(plain.size()), packed.data(),
                             static_cast<int>(packed.size())),
            static_cast<int>(plain.size()));
  EXPECT_EQ(exact.back(), 0xc3);
}

TEST(DecompressPacket, BrokenOrUnusableInputGivesMinusOne) {
  Bytes packed = testing::Compress(PlainPacket{7208, 466}.Build());
  Bytes out(5120);
  const int cut = static_cast<int>(packed.size()) - 3;
  EXPECT_EQ(DecompressPacket(out.data(), 5120, packed.data(), cut), -1);
  EXPECT_EQ(DecompressPacket(out.data(), 5120, packed.data(), 0), -1);
  EXPECT_EQ(DecompressPacket(out.data(), -1, packed.data(), static_cast<int>(packed.size())), -1);
  EXPECT_EQ(DecompressPacket(nullptr, 5120, packed.data(), static_cast<int>(packed.size())), -1);
  EXPECT_EQ(DecompressPacket(out.data(), 5120, nullptr, 10), -1);
  const Bytes junk = {0xff, 0xff, 0xff, 0xff, 0x00, 0x01};
  EXPECT_EQ(DecompressPacket(out.data(), 5120, junk.data(), static_cast<int>(junk.size())), -1);
}

TEST(DecompressPacket, BytesAfterACompleteStreamAreIgnored) {
  const Bytes plain = PlainPacket{7202, 130}.Build();
  Bytes packed = testing::Compress(plain);
  packed.push_back(0x99);
  Bytes out(1024);
  EXPECT_EQ(DecompressPacket(out.data(), 1024, packed.data(), static_cast<int>(packed.size())),
            static_cast<int>(plain.size()));
}

}  // namespace
}  // namespace fh
