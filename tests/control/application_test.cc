// The composition root without sockets: initialisation over the real pieces.
#include <gtest/gtest.h>

#include "control/feed_application.h"
#include "support/feed_state.h"

namespace fh {
namespace {

struct AppRig {
  testing::TempDir work;
  testing::TempDir drive;
  testing::RecordingBoxes boxes;
  testing::RecordingExit exit;
  std::unique_ptr<FeedApplication> app;
  FeedApplication& Open() {
    app = std::make_unique<FeedApplication>(FilePlaces(work.path(), drive.path()), boxes, exit);
    app->Dialog().Initialise();
    return *app;
  }
};

TEST(FeedApplication, InitialisationLoadsTheMastersFromTheSystemDrive) {
  AppRig rig;
  testing::WriteFile(rig.drive.File("security.txt"), "Token|Symbol|Series\n2885|RELIANCE|EQ\n22|ACC|BE\n");
  testing::WriteFile(rig.drive.File("contract.txt"), "h\n");
  FeedApplication& app = rig.Open();
  InstrumentRecord* r = app.Feed().Instruments().Find("1,2885");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 2885);
  EXPECT_EQ(app.Feed().Instruments().Find("1,22"), nullptr);
  EXPECT_TRUE(std::filesystem::exists(rig.drive.File("Schema.ini")));
  EXPECT_EQ(app.Context().ports.instancePort.load(), 30001);
  EXPECT_EQ(app.Context().grid.Rows(), CounterGrid::kRows);
}

TEST(FeedApplication, MissingMastersAreLoggedAndInitialisationGoesOn) {
  AppRig rig;
  FeedApplication& app = rig.Open();
  EXPECT_EQ(app.Context().log.Lines(),
            (std::vector<std::string>{"Cant Open contract.txt file!!!", "Cant Open security.txt file!!!"}));
  EXPECT_TRUE(rig.exit.Codes().empty());
  EXPECT_EQ(app.Dialog().Title(), "FH BCM");
}

}  // namespace
}  // namespace fh
