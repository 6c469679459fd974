// The per-segment BPACK files.
#include <gtest/gtest.h>

#include "distribution/output_sockets.h"
#include "fixture.h"

namespace fh {
namespace {

using testing::FeedState;

TEST(BpackFiles, AreCreatedEmptyAndOpenAndEmptiedAgainByASecondClick) {
  FeedState state;
  for (int seg = 1; seg <= 4; ++seg) {
    EXPECT_EQ(OpenBpackFiles(state.context, seg, BpackFileName(seg), BpackCounterFileName(seg)), 1);
    EXPECT_TRUE(state.files.IsOpen(seg, SegmentFiles::kBpackFile));
    EXPECT_TRUE(state.files.IsOpen(seg, SegmentFiles::kBpackCounterFile));
  }
  EXPECT_EQ(state.files.Path(2, SegmentFiles::kBpackFile), state.dir.File("BPACK_NFO.TXT"));
  EXPECT_EQ(state.files.Path(4, SegmentFiles::kBpackCounterFile), state.dir.File("BPACK_Counter_BSE.TXT"));

  const char line[] = "oversize packet\n";
  ASSERT_TRUE(state.files.WriteAndFlush(1, SegmentFiles::kBpackCounterFile, line, sizeof line - 1));
  EXPECT_EQ(testing::ReadFile(state.dir.File("BPACK_Counter_NCM.TXT")), line);
  EXPECT_EQ(OpenBpackFiles(state.context, 1, "BPACK_NCM.TXT", "BPACK_Counter_NCM.TXT"), 1);
  EXPECT_EQ(testing::ReadFile(state.dir.File("BPACK_Counter_NCM.TXT")), "");
  EXPECT_EQ(testing::ReadFile(state.dir.File("BPACK_NCM.TXT")), "");
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_TRUE(state.exit.Codes().empty());
}

TEST(BpackFiles, APacketFileThatCannotBeOpenedEndsTheProgramWithCodeZero) {
  FeedState state;
  EXPECT_EQ(OpenBpackFiles(state.context, 1, "missing/BPACK_NCM.TXT", "BPACK_Counter_NCM.TXT"), 0);
  EXPECT_EQ(state.boxes.Texts(), std::vector<std::string>{"Cant open file :BPACK"});
  EXPECT_EQ(state.exit.Codes(), std::vector<int>{0});
}

TEST(BpackFiles, ACounterFileThatCannotBeOpenedEndsTheProgramWithCodeZero) {
  FeedState state;
  EXPECT_EQ(OpenBpackFiles(state.context, 3, "BPACK_NCD.TXT", "missing/BPACK_Counter_NCD.TXT"), 0);
  EXPECT_EQ(state.boxes.Texts(), std::vector<std::string>{"Cant open file :BPACK_Counter"});
  EXPECT_EQ(state.exit.Codes(), std::vector<int>{0});
}

TEST(BpackFiles, HaveNamesForTheFourSegmentsOnly) {
  EXPECT_STREQ(BpackFileName(3), "BPACK_NCD.TXT");
  EXPECT_STREQ(BpackCounterFileName(2), "BPACK_Counter_NFO.TXT");
  EXPECT_EQ(BpackFileName(0), nullptr);
  EXPECT_EQ(BpackCounterFileName(5), nullptr);
}

}  // namespace
}  // namespace fh
