#include "instruments/masters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/feed_state.h"
#include "support/fuzz_corpus.h"

namespace fh {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr char kSecurityHeader[] = "Token|Symbol|Series|a|b|c|d\n";

// A contract master line: columns 1 to 9 as given, then filler up to column 70.
std::string ContractLine(const std::string& nine) {
  std::string line = nine;
  for (int i = 10; i <= 70; ++i) line += "|" + std::to_string(i * 7);
  return line + "\n";
}

const std::string kContractHeader = ContractLine("H1|H2|H3|H4|H5|H6|H7|H8|H9");

// The schema each loader writes, typed from its documented lines.
std::string ExpectedSchema(const char* file) {
  std::string s = std::string("[") + file + "]\nColNameHeader = TRUE\nFormat = Delimited(|)\nCharacterSet = ANSI\n";
  for (int i = 1; i <= 80; ++i) s += "Col" + std::to_string(i) + "=FieldName" + std::to_string(i) + " Char\n";
  return s;
}

// Local time is UTC unless a test says otherwise.
class MastersTest : public ::testing::Test {
 protected:
  MastersTest() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  int Securities(const std::string& body) {
    WriteFile(state.dir.File("security.txt"), kSecurityHeader + body);
    return LoadSecurityMaster(state.context, db, map);
  }
  int Contracts(const std::string& body) {
    WriteFile(state.dir.File("contract.txt"), kContractHeader + body);
    return LoadContractMaster(state.context, db, map);
  }
  // A row's record: under its token key, with its name, and under the key by
  // name (a contract's is its name), with the token of the key.
  void ExpectRecord(const char* tokenKey, const std::string& name, const std::string& nameKey = "") {
    SCOPED_TRACE(tokenKey);
    const InstrumentRecord* record = map.Find(tokenKey);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name, name);
    EXPECT_EQ(map.Find(nameKey.empty() ? name : nameKey), record);
    EXPECT_EQ(std::to_string(record->token), std::string(tokenKey).substr(2));
  }

  testing::FeedState state;
  CADODatabase db{state.places};
  InstrumentMap map;
};

// Only series EQ, in that case, enters; the symbol is cut or padded to ten.
// The token key keeps the file's text ("1,022"); a later row takes over the key by name.
TEST_F(MastersTest, SecurityRowsEnterUnderTheirKeys) {
  ASSERT_EQ(Securities("022|ACC|EQ\n22|ACC|EQ|A|1|0|100\n5|ABCDEFGHIJKLMN|EQ\n10|BHEL|BE\n6||EQ\n11|IDEA|eq\n\n"
                       "\"23\"|\"A\"\"B\"|\"EQ\"\n12|SBIN|E\n13|TCS|EQUITY\n"),
            1);
  EXPECT_TRUE(state.log.Lines().empty());
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_FALSE(db.IsConnected());  // closed after loading
  ExpectRecord("1,22", "EQ_ACC       _0_0_EQ", "ACC       EQ");
  ASSERT_NE(map.Find("1,022"), nullptr);
  EXPECT_EQ(map.Find("1,022")->token, 22);
  EXPECT_STREQ(map.Find("1,022")->name, "EQ_ACC       _0_0_EQ");
  ExpectRecord("1,5", "EQ_ABCDEFGHIJ_0_0_EQ", "ABCDEFGHIJEQ");
  ExpectRecord("1,6", "EQ_          _0_0_EQ", "          EQ");
  ExpectRecord("1,23", "EQ_A\"B       _0_0_EQ", "A\"B       EQ");
  EXPECT_EQ(map.KeyCount(), 9u);  // not BE, eq (the query passes it, the loader does not), E, EQUITY
}

// Futures enter, options do not; the expiry is seconds since 1980-01-01 00:00
// (UTC here), worked out by hand. The years 0 and 9999 still have four
// digits; a year beyond them has no expiry text, also where it overflows an int.
TEST_F(MastersTest, ContractRowsEnterUnderTheirKeys) {
  const std::pair<const char*, const char*> kExpiries[] = {
      {"1209599999", "30APR2018"},        {"1209600000", "01MAY2018"},         {"1199231999", "31DEC2017"},
      {"1199232000", "01JAN2018"},        {"1267444800", "29FEB2020"},         {"-1", "31DEC1979"},
      {"-62482752000", "01JAN0000"},      {"253086767999", "31DEC9999"},       {"-62482752001", "00JAN0000"},
      {"253086768000", "00JAN0000"},      {"67767976233316800", "00JAN0000"}, {"-67767976233316800", "00JAN0000"},
      {"9223372036854775807", "00JAN0000"},
  };
  std::string lines = ContractLine("35001|7|FUTIDX|NIFTY|28|35|1209220200|0|XX") +
                      ContractLine("35004|7|FUTSTK|ACC|28|35|1209220200|-1|XX") +
                      ContractLine("35002|7|OPTIDX|NIFTY|28|35|1209220200|10500|CE") +
                      ContractLine("35003|7|OPTIDX|NIFTY|28|35|1209220200|10500|PE") +
                      ContractLine("9|7|FUTIDXX|BANKNIFTYXYZ|28|35|0|2147483647|XX") + ContractLine("77|7|||28|35|||XX");
  for (std::size_t i = 0; i < std::size(kExpiries); ++i)
    lines += ContractLine(std::to_string(100 + i) + "|7|FUTSTK|SBIN|28|35|" + kExpiries[i].first + "|0|XX");
  ASSERT_EQ(Contracts(lines), 1);
  ExpectRecord("2,35001", "FUTIDX_NIFTY     _26APR2018_0_XX");
  ExpectRecord("2,35004", "FUTSTK_ACC       _26APR2018_-1_XX");
  ExpectRecord("2,9", "FUTIDX_BANKNIFTYX_01JAN1980_2147483647_");
  ExpectRecord("2,77", "      _          _01JAN1980_0_XX");
  for (std::size_t i = 0; i < std::size(kExpiries); ++i) {
    const InstrumentRecord* record = map.Find("2," + std::to_string(100 + i));
    ASSERT_NE(record, nullptr) << kExpiries[i].first;
    EXPECT_EQ(record->name, std::string("FUTSTK_SBIN      _") + kExpiries[i].second + "_0_XX") << kExpiries[i].first;
  }
  EXPECT_EQ(map.KeyCount(), 30u);  // no option; the years beyond share one name

  // Expiry is read in local time: 1214868600 seconds after midnight of 1
  // January 1980 in New York (standard time) is 30 June 2018 23:30 of that
  // clock, 1 July 00:30 summer time; 1201822200 seconds is 30 January 2018
  // 23:30, still standard time.
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  ASSERT_EQ(Contracts(ContractLine("1|7|FUTSTK|SBIN|28|35|1214868600|0|XX") +
                      ContractLine("2|7|FUTSTK|SBIN|28|35|1201822200|0|XX")),
            1);
  EXPECT_EQ(map.Find("2,1")->name, std::string("FUTSTK_SBIN      _01JUL2018_0_XX"));
  EXPECT_EQ(map.Find("2,2")->name, std::string("FUTSTK_SBIN      _30JAN2018_0_XX"));
}

// The schema is written before the master is opened; a system drive that is
// missing, or full, cannot take it.
TEST_F(MastersTest, SchemaDescribesTheLastLoadersFileAndFailuresAreLogged) {
  ASSERT_EQ(Securities("22|ACC|EQ\n"), 1);
  EXPECT_EQ(ReadFile(state.dir.File("Schema.ini")), ExpectedSchema("security.txt"));
  std::filesystem::remove(state.dir.File("security.txt"));
  EXPECT_EQ(LoadSecurityMaster(state.context, db, map), 0);
  EXPECT_EQ(LoadContractMaster(state.context, db, map), 0);
  EXPECT_EQ(ReadFile(state.dir.File("Schema.ini")), ExpectedSchema("contract.txt"));
  const FilePlaces absent("", state.dir.path() / "absent");
  EXPECT_EQ(LoadSecurityMaster(absent, state.log, state.boxes, db, map), 0);
  EXPECT_EQ(LoadContractMaster(absent, state.log, state.boxes, db, map), 0);
  std::vector<std::string> expected = {"Cant Open security.txt file!!!", "Cant Open contract.txt file!!!",
                                       "Cant Create Schema.ini file!!!", "Cant Create Schema.ini file!!!"};
  if (std::filesystem::exists("/dev/full")) {
    std::filesystem::remove(state.dir.File("Schema.ini"));
    std::filesystem::create_symlink("/dev/full", state.dir.path() / "Schema.ini");
    EXPECT_EQ(Securities("22|ACC|EQ\n"), 0);
    expected.push_back(expected[2]);
  }
  EXPECT_EQ(state.LinesInOrder(), expected);
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_EQ(map.KeyCount(), 2u);
}

TEST_F(MastersTest, AFailedConnectionShowsTwoBoxesAndReturnsOne) {
  const FilePlaces unreachable("", state.dir.path() / "gone");  // the provider's view of C:\ is missing
  CADODatabase broken(unreachable);
  WriteFile(state.dir.File("security.txt"), std::string(kSecurityHeader) + "22|ACC|EQ\n");
  WriteFile(state.dir.File("contract.txt"), kContractHeader + ContractLine("1|7|FUTIDX|NIFTY|28|35|0|0|XX"));
  EXPECT_EQ(LoadSecurityMaster(state.context, broken, map), 1);
  EXPECT_EQ(LoadContractMaster(state.context, broken, map), 1);
  const std::vector<std::string> boxes = state.boxes.Texts();
  ASSERT_EQ(boxes.size(), 4u);
  const std::string lead =
      "Connection String = Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended "
      "Properties='text;HDR=Yes;FMT=Delimited(|)';\nCADODataBase Error\n";
  for (int i : {0, 2}) EXPECT_EQ(boxes[i].rfind(lead, 0), 0u) << boxes[i];
  for (int i : {1, 3}) EXPECT_EQ(boxes[i], "DBSQLContract Not Found! Failed");
  EXPECT_EQ(map.KeyCount(), 0u);
  EXPECT_TRUE(state.log.Lines().empty());
}

// The fuzz target's seeds: the security master, a NUL byte, the contract master.
TEST_F(MastersTest, LoadsEveryFuzzSeed) {
  const auto corpus = testing::ReadCorpus("fuzz_master_text");
  ASSERT_FALSE(corpus.empty());
  for (const auto& seed : corpus) {
    SCOPED_TRACE(seed.name);
    const std::string input(seed.bytes.begin(), seed.bytes.end());
    const std::size_t split = input.find('\0');
    WriteFile(state.dir.File("security.txt"), input.substr(0, split));
    WriteFile(state.dir.File("contract.txt"), split == std::string::npos ? "" : input.substr(split + 1));
    EXPECT_EQ(LoadSecurityMaster(state.context, db, map), 1);
    EXPECT_EQ(LoadContractMaster(state.context, db, map), 1);
  }
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_TRUE(state.log.Lines().empty());
}

}  // namespace
}  // namespace fh
