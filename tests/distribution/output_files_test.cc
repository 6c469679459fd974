// The per-segment BPACK files.
#include "distribution/output_sockets.h"
#include "fixture.h"

namespace fh {
namespace {

TEST(BpackFiles, AreCreatedEmptyAndOpenAndEmptiedAgainByASecondClick) {
  testing::FeedState state;
  const char* names[][2] = {{"BPACK_NCM.TXT", "BPACK_Counter_NCM.TXT"}, {"BPACK_NFO.TXT", "BPACK_Counter_NFO.TXT"},
                            {"BPACK_NCD.TXT", "BPACK_Counter_NCD.TXT"}, {"BPACK_BSE.TXT", "BPACK_Counter_BSE.TXT"}};
  for (int seg = 1; seg <= 4; ++seg) {
    SCOPED_TRACE(seg);
    EXPECT_STREQ(BpackFileName(seg), names[seg - 1][0]);
    EXPECT_STREQ(BpackCounterFileName(seg), names[seg - 1][1]);
    EXPECT_EQ(OpenBpackFiles(state.context, seg, BpackFileName(seg), BpackCounterFileName(seg)), 1);
    EXPECT_EQ(testing::ReadFile(state.dir.File(names[seg - 1][1])), "");  // created in the work folder
  }
  EXPECT_EQ(BpackFileName(0), nullptr);
  EXPECT_EQ(BpackCounterFileName(5), nullptr);

  ASSERT_TRUE(state.files.WriteAndFlush(1, SegmentFiles::kBpackCounterFile, "x\n", 2));  // into the file it opened
  EXPECT_EQ(testing::ReadFile(state.dir.File("BPACK_Counter_NCM.TXT")), "x\n");
  EXPECT_EQ(OpenBpackFiles(state.context, 1, "BPACK_NCM.TXT", "BPACK_Counter_NCM.TXT"), 1);
  EXPECT_EQ(testing::ReadFile(state.dir.File("BPACK_Counter_NCM.TXT")), "");
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_TRUE(state.exit.Codes().empty());
}

TEST(BpackFiles, AFileThatCannotBeOpenedEndsTheProgramWithCodeZero) {
  struct Case { const char *name, *counterName, *box; };
  for (const Case& c : {Case{"missing/BPACK_NCM.TXT", "BPACK_Counter_NCM.TXT", "Cant open file :BPACK"},
                        Case{"BPACK_NCD.TXT", "missing/BPACK_Counter_NCD.TXT", "Cant open file :BPACK_Counter"}}) {
    SCOPED_TRACE(c.box);
    testing::FeedState state;
    EXPECT_EQ(OpenBpackFiles(state.context, 1, c.name, c.counterName), 0);
    EXPECT_EQ(state.boxes.Texts(), std::vector<std::string>{c.box});
    EXPECT_EQ(state.exit.Codes(), std::vector<int>{0});
  }
}

}  // namespace
}  // namespace fh
