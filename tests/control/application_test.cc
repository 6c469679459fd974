// The composition root without sockets: initialisation over the real pieces.
#include <gtest/gtest.h>

#include "control/feed_application.h"
#include "support/feed_state.h"

namespace fh {
namespace {

TEST(FeedApplication, InitialisationLoadsTheMastersFromTheSystemDriveOrLogsTheirAbsence) {
  testing::TempDir work, drive;
  testing::RecordingBoxes boxes;
  testing::RecordingExit exit;
  auto open = [&] {
    auto app = std::make_unique<FeedApplication>(FilePlaces(work.path(), drive.path()), boxes, exit);
    app->Dialog().Initialise();
    return app;
  };
  auto missing = open();
  EXPECT_EQ(missing->Context().log.Lines(),
            (std::vector<std::string>{"Cant Open contract.txt file!!!", "Cant Open security.txt file!!!"}));
  EXPECT_TRUE(exit.Codes().empty());
  EXPECT_EQ(missing->Dialog().Title(), "FH BCM");
  std::filesystem::remove(drive.File("Schema.ini"));

  testing::WriteFile(drive.File("security.txt"), "Token|Symbol|Series\n2885|RELIANCE|EQ\n22|ACC|BE\n");
  testing::WriteFile(drive.File("contract.txt"), "h\n");
  auto app = open();
  InstrumentRecord* r = app->Feed().Instruments().Find("1,2885");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 2885);
  EXPECT_EQ(app->Feed().Instruments().Find("1,22"), nullptr);
  EXPECT_TRUE(std::filesystem::exists(drive.File("Schema.ini")));
  EXPECT_EQ(app->Context().ports.instancePort.load(), 30001);
  EXPECT_EQ(app->Context().grid.Rows(), CounterGrid::kRows);
}

}  // namespace
}  // namespace fh
