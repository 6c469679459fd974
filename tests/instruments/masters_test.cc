#include "instruments/masters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_dir.h"

namespace fh {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class RecordedMessageBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view text) override { shown.emplace_back(text); }
  std::vector<std::string> shown;
};

// Local time is UTC unless a test says otherwise.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// Seconds from 1 January 1980 00:00 to the given UTC time.
std::int64_t Since1980(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&tm)) - 315532800;
}

// A security master line: token, symbol, series and filler columns.
std::string SecurityRow(const std::string& token, const std::string& symbol, const std::string& series) {
  return token + "|" + symbol + "|" + series + "|A|1|0|100\n";
}

// A contract master line of 70 columns with the ones the loader reads.
std::string ContractRow(const std::string& token, const std::string& instrument, const std::string& symbol,
                        const std::string& expiry, const std::string& strike, const std::string& option) {
  std::vector<std::string> cols(70);
  for (int i = 0; i < 70; ++i) cols[i] = std::to_string(i * 7);
  cols[0] = token;
  cols[2] = instrument;
  cols[3] = symbol;
  cols[6] = expiry;
  cols[7] = strike;
  cols[8] = option;
  std::string line;
  for (int i = 0; i < 70; ++i) line += (i ? "|" : "") + cols[i];
  return line + "\n";
}

std::string ContractHeader() {
  std::string line;
  for (int i = 1; i <= 70; ++i) line += (i > 1 ? "|" : "") + std::string("H") + std::to_string(i);
  return line + "\n";
}

std::string ExpectedSchema(const char* file) {
  std::string s = std::string("[") + file + "]\nColNameHeader = TRUE\nFormat = Delimited(|)\nCharacterSet = ANSI\n";
  for (int i = 1; i <= 80; ++i) s += "Col" + std::to_string(i) + "=FieldName" + std::to_string(i) + " Char\n";
  return s;
}

class MastersTest : public ::testing::Test {
 protected:
  MastersTest() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  int Securities(const std::string& body) {
    WriteFile(drive.File("security.txt"), "Token|Symbol|Series|a|b|c|d\n" + body);
    return LoadSecurityMaster(places, log, boxes, db, map);
  }
  int Contracts(const std::string& body) {
    WriteFile(drive.File("contract.txt"), ContractHeader() + body);
    return LoadContractMaster(places, log, boxes, db, map);
  }

  TempDir drive;
  FilePlaces places{"", drive.path()};
  LogList log;
  RecordedMessageBoxes boxes;
  CADODatabase db{places};
  InstrumentMap map;
};

TEST_F(MastersTest, EquitiesEnterUnderBothKeys) {
  ASSERT_EQ(Securities(SecurityRow("22", "ACC", "EQ") + SecurityRow("2885", "RELIANCE", "EQ")), 1);
  InstrumentRecord* acc = map.Find("ACC       EQ");
  ASSERT_NE(acc, nullptr);
  EXPECT_EQ(map.Find("1,22"), acc);
  EXPECT_EQ(acc->token, 22);
  EXPECT_STREQ(acc->name, "EQ_ACC       _0_0_EQ");
  EXPECT_EQ(acc->lastValue.load(), -1);
  EXPECT_EQ(acc->subscribed.load(), -1);
  InstrumentRecord* reliance = map.Find("RELIANCE  EQ");
  ASSERT_NE(reliance, nullptr);
  EXPECT_EQ(map.Find("1,2885"), reliance);
  EXPECT_STREQ(reliance->name, "EQ_RELIANCE  _0_0_EQ");
  EXPECT_EQ(map.KeyCount(), 4u);
  EXPECT_EQ(log.Size(), 0u);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_FALSE(db.IsConnected());  // closed after loading
  // The decoders reach the master's record by segment and token.
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);
  EXPECT_EQ(acc->lastValue.load(), 100);
}

TEST_F(MastersTest, OtherSeriesNeverEnter) {
  ASSERT_EQ(Securities(SecurityRow("10", "BHEL", "BE") + SecurityRow("11", "IDEA", "eq") +
                       SecurityRow("12", "SBIN", "E") + SecurityRow("13", "TCS", "EQ")),
            1);
  EXPECT_EQ(map.Find("1,10"), nullptr);
  EXPECT_EQ(map.Find("1,11"), nullptr);  // the file says eq, not EQ
  EXPECT_EQ(map.Find("1,12"), nullptr);
  EXPECT_NE(map.Find("1,13"), nullptr);
  EXPECT_EQ(map.KeyCount(), 2u);
}

TEST_F(MastersTest, SymbolsAreCutOrPaddedToTenCharacters) {
  ASSERT_EQ(Securities(SecurityRow("5", "ABCDEFGHIJKLMN", "EQ") + SecurityRow("6", "", "EQ")), 1);
  InstrumentRecord* longOne = map.Find("ABCDEFGHIJEQ");
  ASSERT_NE(longOne, nullptr);
  EXPECT_STREQ(longOne->name, "EQ_ABCDEFGHIJ_0_0_EQ");
  InstrumentRecord* empty = map.Find("          EQ");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty->name, "EQ_          _0_0_EQ");
  EXPECT_EQ(map.Find("1,6"), empty);
}

TEST_F(MastersTest, TokenKeysKeepTheFileText) {
  ASSERT_EQ(Securities(SecurityRow("022", "ACC", "EQ")), 1);
  InstrumentRecord* acc = map.Find("1,022");
  ASSERT_NE(acc, nullptr);
  EXPECT_EQ(acc->token, 22);
  EXPECT_EQ(map.Find("1,22"), nullptr);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 5), -1);  // a second record, not the master's
  EXPECT_NE(map.Find("1,22"), acc);
  EXPECT_EQ(acc->lastValue.load(), -1);
}

TEST_F(MastersTest, ALaterRowTakesOverAKey) {
  ASSERT_EQ(Securities(SecurityRow("22", "ACC", "EQ") + SecurityRow("23", "ACC", "EQ")), 1);
  EXPECT_EQ(map.KeyCount(), 3u);
  EXPECT_EQ(map.Find("ACC       EQ")->token, 23);
  EXPECT_EQ(map.Find("1,22")->token, 22);
}

TEST_F(MastersTest, FuturesEnterUnderTheirNameAndToken) {
  const std::string expiry = std::to_string(Since1980(2018, 4, 26, 14, 30));
  ASSERT_EQ(Contracts(ContractRow("35001", "FUTIDX", "NIFTY", expiry, "0", "XX") +
                      ContractRow("35002", "OPTIDX", "NIFTY", expiry, "10500", "CE") +
                      ContractRow("35003", "OPTIDX", "NIFTY", expiry, "10500", "PE") +
                      ContractRow("35004", "FUTSTK", "ACC", expiry, "-1", "XX")),
            1);
  InstrumentRecord* nifty = map.Find("FUTIDX_NIFTY     _26APR2018_0_XX");
  ASSERT_NE(nifty, nullptr);
  EXPECT_EQ(map.Find("2,35001"), nifty);
  EXPECT_EQ(nifty->token, 35001);
  EXPECT_STREQ(nifty->name, "FUTIDX_NIFTY     _26APR2018_0_XX");
  InstrumentRecord* acc = map.Find("FUTSTK_ACC       _26APR2018_-1_XX");
  ASSERT_NE(acc, nullptr);
  EXPECT_EQ(map.Find("2,35004"), acc);
  EXPECT_EQ(map.Find("2,35002"), nullptr);
  EXPECT_EQ(map.Find("2,35003"), nullptr);
  EXPECT_EQ(map.KeyCount(), 4u);
}

TEST_F(MastersTest, ALongNameIsCutTo39CharactersAndStillKeysTheRecord) {
  ASSERT_EQ(Contracts(ContractRow("9", "FUTIDXX", "BANKNIFTYXYZ", "0", "2147483647", "XX")), 1);
  const std::string name = "FUTIDX_BANKNIFTYX_01JAN1980_2147483647_X";
  InstrumentRecord* r = map.Find(name.substr(0, 39));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r->name), name.substr(0, 39));
  EXPECT_EQ(map.Find("2,9"), r);
}

TEST_F(MastersTest, ExpiryFollowsTheCalendarAcrossMonthsAndYears) {
  char text[kExpirySize];
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2018, 4, 30, 23, 59, 59))), "30APR2018");
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2018, 5, 1))), "01MAY2018");
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2017, 12, 31, 23, 59, 59))), "31DEC2017");
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2018, 1, 1))), "01JAN2018");
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2020, 2, 29, 12))), "29FEB2020");
  EXPECT_EQ(std::string(text, FormatExpiry(text, 0)), "01JAN1980");
  EXPECT_EQ(std::string(text, FormatExpiry(text, INT64_MAX)), "00JAN0000");

  const std::string late = std::to_string(Since1980(2018, 5, 31, 23, 59, 59));
  const std::string early = std::to_string(Since1980(2018, 6, 1));
  ASSERT_EQ(Contracts(ContractRow("1", "FUTSTK", "SBIN", late, "0", "XX") +
                      ContractRow("2", "FUTSTK", "SBIN", early, "0", "XX")),
            1);
  EXPECT_NE(map.Find("FUTSTK_SBIN      _31MAY2018_0_XX"), nullptr);
  EXPECT_NE(map.Find("FUTSTK_SBIN      _01JUN2018_0_XX"), nullptr);
}

TEST_F(MastersTest, ExpiryIsReadInLocalTime) {
  ZoneGuard zone("EST5EDT,M3.2.0,M11.1.0");
  // Counted from midnight of 1 January 1980 in New York (standard time), the
  // seconds to 30 June 2018 23:30 of that clock fall on 1 July 00:30 summer time.
  char text[kExpirySize];
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2018, 6, 30, 23, 30))), "01JUL2018");
  EXPECT_EQ(std::string(text, FormatExpiry(text, Since1980(2018, 1, 30, 23, 30))), "30JAN2018");
}

TEST_F(MastersTest, EmptyContractFieldsGiveBlanksAndZeros) {
  ASSERT_EQ(Contracts(ContractRow("77", "", "", "", "", "XX")), 1);
  InstrumentRecord* r = map.Find("2,77");
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->name, "      _          _01JAN1980_0_XX");
  EXPECT_EQ(map.Find("      _          _01JAN1980_0_XX"), r);
}

TEST_F(MastersTest, HeaderOnlyMastersLoadNothing) {
  EXPECT_EQ(Securities(""), 1);
  EXPECT_EQ(Contracts(""), 1);
  EXPECT_EQ(map.KeyCount(), 0u);
  EXPECT_EQ(log.Size(), 0u);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(MastersTest, SchemaDescribesOnlyTheContractsAfterBothLoaders) {
  ASSERT_EQ(Securities(SecurityRow("22", "ACC", "EQ")), 1);
  EXPECT_EQ(ReadFile(drive.File("Schema.ini")), ExpectedSchema("security.txt"));
  ASSERT_EQ(Contracts(ContractRow("35001", "FUTIDX", "NIFTY", "0", "0", "XX")), 1);
  EXPECT_EQ(ReadFile(drive.File("Schema.ini")), ExpectedSchema("contract.txt"));
  EXPECT_EQ(map.KeyCount(), 4u);
}

TEST_F(MastersTest, AMissingMasterIsLoggedAndReturnsZero) {
  EXPECT_EQ(LoadSecurityMaster(places, log, boxes, db, map), 0);
  EXPECT_EQ(LoadContractMaster(places, log, boxes, db, map), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Cant Open contract.txt file!!!", "Cant Open security.txt file!!!"}));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(ReadFile(drive.File("Schema.ini")), ExpectedSchema("contract.txt"));  // written before the check
}

TEST(Masters, AMissingSystemDriveCannotTakeTheSchema) {
  TempDir tmp;
  const FilePlaces places("", tmp.path() / "absent");
  LogList log;
  RecordedMessageBoxes boxes;
  CADODatabase db(places);
  InstrumentMap map;
  EXPECT_EQ(LoadSecurityMaster(places, log, boxes, db, map), 0);
  EXPECT_EQ(LoadContractMaster(places, log, boxes, db, map), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Cant Create Schema.ini file!!!", "Cant Create Schema.ini file!!!"}));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(MastersTest, ASchemaCutShortByAFullDiskIsNotWritten) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::filesystem::create_symlink("/dev/full", drive.path() / "Schema.ini");
  EXPECT_EQ(Securities(SecurityRow("22", "ACC", "EQ")), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Cant Create Schema.ini file!!!"}));
  EXPECT_EQ(map.KeyCount(), 0u);
}

TEST_F(MastersTest, AFailedConnectionShowsTwoBoxesAndReturnsOne) {
  TempDir other;
  const FilePlaces unreachable("", other.path() / "gone");  // the provider's view of C:\ is missing
  CADODatabase broken(unreachable);
  WriteFile(drive.File("security.txt"), "h\n" + SecurityRow("22", "ACC", "EQ"));
  WriteFile(drive.File("contract.txt"), ContractHeader() + ContractRow("1", "FUTIDX", "NIFTY", "0", "0", "XX"));
  EXPECT_EQ(LoadSecurityMaster(places, log, boxes, broken, map), 1);
  EXPECT_EQ(LoadContractMaster(places, log, boxes, broken, map), 1);
  ASSERT_EQ(boxes.shown.size(), 4u);
  const std::string lead = std::string("Connection String = ") + kMasterConnectionString + "\nCADODataBase Error\n";
  EXPECT_EQ(boxes.shown[0].rfind(lead, 0), 0u) << boxes.shown[0];
  EXPECT_EQ(boxes.shown[1], "DBSQLContract Not Found! Failed");
  EXPECT_EQ(boxes.shown[2].rfind(lead, 0), 0u);
  EXPECT_EQ(boxes.shown[3], "DBSQLContract Not Found! Failed");
  EXPECT_EQ(map.KeyCount(), 0u);
  EXPECT_EQ(log.Size(), 0u);
}

TEST_F(MastersTest, ReloadingWithTheSameDatabaseWorks) {
  ASSERT_EQ(Securities(SecurityRow("22", "ACC", "EQ")), 1);
  ASSERT_EQ(Contracts(ContractRow("35001", "FUTIDX", "NIFTY", "0", "0", "XX")), 1);
  EXPECT_NE(map.Find("1,22"), nullptr);
  EXPECT_NE(map.Find("2,35001"), nullptr);
}

TEST(Masters, TakeTheirPiecesFromTheFeedContext) {
  setenv("TZ", "UTC", 1);
  tzset();
  TempDir drive;
  FeedHandlerOptions options;
  LogList log;
  CounterGrid grid;
  SegmentFiles files;
  const FilePlaces places("", drive.path());
  InstancePorts ports;
  RecordedMessageBoxes boxes;
  StandardProgramExit programExit;
  FeedContext context{options, log, grid, files, places, ports, boxes, programExit};
  CADODatabase db(places);
  InstrumentMap map;
  WriteFile(drive.File("security.txt"), "h\n" + SecurityRow("22", "ACC", "EQ"));
  EXPECT_EQ(LoadSecurityMaster(context, db, map), 1);
  EXPECT_EQ(LoadContractMaster(context, db, map), 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Cant Open contract.txt file!!!"}));
  EXPECT_NE(map.Find("1,22"), nullptr);
}

}  // namespace
}  // namespace fh
