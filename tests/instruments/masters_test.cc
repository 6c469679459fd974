#include "instruments/masters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "support/feed_state.h"

namespace fh {
namespace {

using testing::FeedState;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

void SetZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

constexpr char kSecurityHeader[] = "Token|Symbol|Series|a|b|c|d\n";

std::string ContractHeader() {
  std::string line = "H1";
  for (int i = 2; i <= 70; ++i) line += "|H" + std::to_string(i);
  return line + "\n";
}

// A contract master line: columns 1 to 9 as given, then filler up to column 70.
std::string ContractLine(const std::string& nine) {
  std::string line = nine;
  for (int i = 10; i <= 70; ++i) line += "|" + std::to_string(i * 7);
  return line + "\n";
}

// The schema each loader writes, typed from its documented lines.
std::string ExpectedSchema(const char* file) {
  std::string s = std::string("[") + file + "]\nColNameHeader = TRUE\nFormat = Delimited(|)\nCharacterSet = ANSI\n";
  for (int i = 1; i <= 80; ++i) s += "Col" + std::to_string(i) + "=FieldName" + std::to_string(i) + " Char\n";
  return s;
}

// Local time is UTC unless a test says otherwise.
class MastersTest : public ::testing::Test {
 protected:
  MastersTest() { SetZone("UTC"); }
  int Securities(const std::string& body) {
    WriteFile(state.dir.File("security.txt"), kSecurityHeader + body);
    return LoadSecurityMaster(state.context, db, map);
  }
  int Contracts(const std::string& body) {
    WriteFile(state.dir.File("contract.txt"), ContractHeader() + body);
    return LoadContractMaster(state.context, db, map);
  }

  FeedState state;
  CADODatabase db{state.places};
  InstrumentMap map;
};

// One master line and what it enters: the key by name and the name (none when
// the row is skipped), the key by segment and token and the token.
struct RowCase {
  bool contract;     // the line is columns 1 to 9 of a contract line, else a whole security line
  const char* line;
  const char* key;   // null: the row never enters the map
  const char* name;
  const char* tokenKey;
  int token;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << (c.contract ? "contract " : "security ") << c.line; }

// Expiries are seconds since 1980-01-01 00:00 (UTC here), worked out by hand:
// 1209220200 is 2018-04-26 14:30, 1209599999 2018-04-30 23:59:59,
// 1199231999 2017-12-31 23:59:59, 1267444800 2020-02-29 12:00,
// -62482752000 0000-01-01 00:00, 253086767999 9999-12-31 23:59:59.
const RowCase kRows[] = {
    {false, "22|ACC|EQ|A|1|0|100", "ACC       EQ", "EQ_ACC       _0_0_EQ", "1,22", 22},
    {false, "2885|RELIANCE|EQ|A|1|0|100", "RELIANCE  EQ", "EQ_RELIANCE  _0_0_EQ", "1,2885", 2885},
    {false, "5|ABCDEFGHIJKLMN|EQ", "ABCDEFGHIJEQ", "EQ_ABCDEFGHIJ_0_0_EQ", "1,5", 5},
    {false, "6||EQ", "          EQ", "EQ_          _0_0_EQ", "1,6", 6},
    {false, "022|ACC|EQ", "ACC       EQ", "EQ_ACC       _0_0_EQ", "1,022", 22},
    {false, "\"23\"|\"A\"\"B\"|\"EQ\"", "A\"B       EQ", "EQ_A\"B       _0_0_EQ", "1,23", 23},
    {false, "10|BHEL|BE", nullptr, nullptr, nullptr, 0},
    {false, "11|IDEA|eq", nullptr, nullptr, nullptr, 0},  // the query passes it, the loader does not
    {false, "12|SBIN|E", nullptr, nullptr, nullptr, 0},
    {false, "13|TCS|EQUITY", nullptr, nullptr, nullptr, 0},
    {false, "", nullptr, nullptr, nullptr, 0},
    {true, "35001|7|FUTIDX|NIFTY|28|35|1209220200|0|XX", "FUTIDX_NIFTY     _26APR2018_0_XX",
     "FUTIDX_NIFTY     _26APR2018_0_XX", "2,35001", 35001},
    {true, "35004|7|FUTSTK|ACC|28|35|1209220200|-1|XX", "FUTSTK_ACC       _26APR2018_-1_XX",
     "FUTSTK_ACC       _26APR2018_-1_XX", "2,35004", 35004},
    {true, "35002|7|OPTIDX|NIFTY|28|35|1209220200|10500|CE", nullptr, nullptr, nullptr, 0},
    {true, "35003|7|OPTIDX|NIFTY|28|35|1209220200|10500|PE", nullptr, nullptr, nullptr, 0},
    {true, "9|7|FUTIDXX|BANKNIFTYXYZ|28|35|0|2147483647|XX", "FUTIDX_BANKNIFTYX_01JAN1980_2147483647_",
     "FUTIDX_BANKNIFTYX_01JAN1980_2147483647_", "2,9", 9},
    {true, "77|7|||28|35|||XX", "      _          _01JAN1980_0_XX", "      _          _01JAN1980_0_XX", "2,77", 77},
    {true, "1|7|FUTSTK|SBIN|28|35|1209599999|0|XX", "FUTSTK_SBIN      _30APR2018_0_XX",
     "FUTSTK_SBIN      _30APR2018_0_XX", "2,1", 1},
    {true, "2|7|FUTSTK|SBIN|28|35|1209600000|0|XX", "FUTSTK_SBIN      _01MAY2018_0_XX",
     "FUTSTK_SBIN      _01MAY2018_0_XX", "2,2", 2},
    {true, "3|7|FUTSTK|SBIN|28|35|1199231999|0|XX", "FUTSTK_SBIN      _31DEC2017_0_XX",
     "FUTSTK_SBIN      _31DEC2017_0_XX", "2,3", 3},
    {true, "4|7|FUTSTK|SBIN|28|35|1199232000|0|XX", "FUTSTK_SBIN      _01JAN2018_0_XX",
     "FUTSTK_SBIN      _01JAN2018_0_XX", "2,4", 4},
    {true, "5|7|FUTSTK|SBIN|28|35|1267444800|0|XX", "FUTSTK_SBIN      _29FEB2020_0_XX",
     "FUTSTK_SBIN      _29FEB2020_0_XX", "2,5", 5},
    {true, "6|7|FUTSTK|SBIN|28|35|-1|0|XX", "FUTSTK_SBIN      _31DEC1979_0_XX", "FUTSTK_SBIN      _31DEC1979_0_XX",
     "2,6", 6},
    // The years 0 and 9999 still have four digits; a year beyond them has no
    // expiry text, also where the year overflows an int.
    {true, "7|7|FUTSTK|SBIN|28|35|-62482752000|0|XX", "FUTSTK_SBIN      _01JAN0000_0_XX",
     "FUTSTK_SBIN      _01JAN0000_0_XX", "2,7", 7},
    {true, "8|7|FUTSTK|SBIN|28|35|253086767999|0|XX", "FUTSTK_SBIN      _31DEC9999_0_XX",
     "FUTSTK_SBIN      _31DEC9999_0_XX", "2,8", 8},
    {true, "9|7|FUTSTK|SBIN|28|35|-62482752001|0|XX", "FUTSTK_SBIN      _00JAN0000_0_XX",
     "FUTSTK_SBIN      _00JAN0000_0_XX", "2,9", 9},
    {true, "10|7|FUTSTK|SBIN|28|35|253086768000|0|XX", "FUTSTK_SBIN      _00JAN0000_0_XX",
     "FUTSTK_SBIN      _00JAN0000_0_XX", "2,10", 10},
    {true, "11|7|FUTSTK|SBIN|28|35|67767976233316800|0|XX", "FUTSTK_SBIN      _00JAN0000_0_XX",
     "FUTSTK_SBIN      _00JAN0000_0_XX", "2,11", 11},
    {true, "12|7|FUTSTK|SBIN|28|35|-67767976233316800|0|XX", "FUTSTK_SBIN      _00JAN0000_0_XX",
     "FUTSTK_SBIN      _00JAN0000_0_XX", "2,12", 12},
    {true, "13|7|FUTSTK|SBIN|28|35|9223372036854775807|0|XX", "FUTSTK_SBIN      _00JAN0000_0_XX",
     "FUTSTK_SBIN      _00JAN0000_0_XX", "2,13", 13},
};

class MasterRow : public MastersTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(MasterRow, EntersUnderItsKeysWithItsName) {
  const RowCase& c = GetParam();
  ASSERT_EQ(c.contract ? Contracts(ContractLine(c.line)) : Securities(c.line + std::string("\n")), 1);
  EXPECT_TRUE(state.log.Lines().empty());
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_FALSE(db.IsConnected());  // closed after loading
  if (c.key == nullptr) {
    EXPECT_EQ(map.KeyCount(), 0u);
    return;
  }
  EXPECT_EQ(map.KeyCount(), 2u);
  const InstrumentRecord* record = map.Find(c.key);
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->name, c.name);
  EXPECT_EQ(map.Find(c.tokenKey), record);
  EXPECT_EQ(record->token, c.token);
  EXPECT_EQ(record->lastValue.load(), -1);
  EXPECT_EQ(record->subscribed.load(), -1);
}

INSTANTIATE_TEST_SUITE_P(Masters, MasterRow, ::testing::ValuesIn(kRows));

TEST_F(MastersTest, DecodersReachARecordByTheTokenTextTheFileHas) {
  ASSERT_EQ(Securities("022|ACC|EQ\n23|ACC|EQ\n"), 1);
  InstrumentRecord* padded = map.Find("1,022");
  InstrumentRecord* later = map.Find("1,23");
  ASSERT_NE(padded, nullptr);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(map.Find("ACC       EQ"), later);  // the later row takes over the key by name
  EXPECT_EQ(map.UpdateLastValue(1, 23, 100), -1);
  EXPECT_EQ(later->lastValue.load(), 100);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 5), -1);  // "1,22" is a new record, not the one under "1,022"
  EXPECT_EQ(padded->lastValue.load(), -1);
  EXPECT_NE(map.Find("1,22"), padded);
  EXPECT_EQ(map.KeyCount(), 4u);
}

TEST_F(MastersTest, ExpiryIsReadInLocalTime) {
  SetZone("EST5EDT,M3.2.0,M11.1.0");
  // 1214868600 seconds after midnight of 1 January 1980 in New York
  // (standard time) is 30 June 2018 23:30 of that clock, 1 July 00:30 summer
  // time; 1201822200 seconds is 30 January 2018 23:30, still standard time.
  ASSERT_EQ(Contracts(ContractLine("1|7|FUTSTK|SBIN|28|35|1214868600|0|XX") +
                      ContractLine("2|7|FUTSTK|SBIN|28|35|1201822200|0|XX")),
            1);
  EXPECT_NE(map.Find("FUTSTK_SBIN      _01JUL2018_0_XX"), nullptr);
  EXPECT_NE(map.Find("FUTSTK_SBIN      _30JAN2018_0_XX"), nullptr);
}

TEST_F(MastersTest, SchemaDescribesOnlyTheContractsAfterBothLoaders) {
  ASSERT_EQ(Securities("22|ACC|EQ\n"), 1);
  EXPECT_EQ(ReadFile(state.dir.File("Schema.ini")), ExpectedSchema("security.txt"));
  ASSERT_EQ(Contracts(ContractLine("35001|7|FUTIDX|NIFTY|28|35|0|0|XX")), 1);
  EXPECT_EQ(ReadFile(state.dir.File("Schema.ini")), ExpectedSchema("contract.txt"));
  EXPECT_EQ(map.KeyCount(), 4u);
}

TEST_F(MastersTest, AMissingMasterIsLoggedAndReturnsZero) {
  EXPECT_EQ(LoadSecurityMaster(state.context, db, map), 0);
  EXPECT_EQ(LoadContractMaster(state.context, db, map), 0);
  EXPECT_EQ(state.LinesInOrder(),
            (std::vector<std::string>{"Cant Open security.txt file!!!", "Cant Open contract.txt file!!!"}));
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_EQ(ReadFile(state.dir.File("Schema.ini")), ExpectedSchema("contract.txt"));  // written before the check
}

TEST_F(MastersTest, AMissingSystemDriveCannotTakeTheSchema) {
  const FilePlaces absent("", state.dir.path() / "absent");
  EXPECT_EQ(LoadSecurityMaster(absent, state.log, state.boxes, db, map), 0);
  EXPECT_EQ(LoadContractMaster(absent, state.log, state.boxes, db, map), 0);
  EXPECT_EQ(state.log.Lines(),
            (std::vector<std::string>{"Cant Create Schema.ini file!!!", "Cant Create Schema.ini file!!!"}));
  EXPECT_TRUE(state.boxes.Texts().empty());
}

TEST_F(MastersTest, ASchemaCutShortByAFullDiskIsNotWritten) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::filesystem::create_symlink("/dev/full", state.dir.path() / "Schema.ini");
  EXPECT_EQ(Securities("22|ACC|EQ\n"), 0);
  EXPECT_EQ(state.log.Lines(), (std::vector<std::string>{"Cant Create Schema.ini file!!!"}));
  EXPECT_EQ(map.KeyCount(), 0u);
}

TEST_F(MastersTest, AFailedConnectionShowsTwoBoxesAndReturnsOne) {
  TempDir other;
  const FilePlaces unreachable("", other.path() / "gone");  // the provider's view of C:\ is missing
  CADODatabase broken(unreachable);
  WriteFile(state.dir.File("security.txt"), std::string(kSecurityHeader) + "22|ACC|EQ\n");
  WriteFile(state.dir.File("contract.txt"), ContractHeader() + ContractLine("1|7|FUTIDX|NIFTY|28|35|0|0|XX"));
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
  const std::filesystem::path corpus = std::filesystem::path(FH_FUZZ_CORPUS) / "fuzz_master_text";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::string input = ReadFile(entry.path().string());
    const std::size_t split = input.find('\0');
    WriteFile(state.dir.File("security.txt"), input.substr(0, split));
    WriteFile(state.dir.File("contract.txt"), split == std::string::npos ? "" : input.substr(split + 1));
    EXPECT_EQ(LoadSecurityMaster(state.context, db, map), 1);
    EXPECT_EQ(LoadContractMaster(state.context, db, map), 1);
    ++seeds;
  }
  EXPECT_GT(seeds, 0);
  EXPECT_TRUE(state.boxes.Texts().empty());
  EXPECT_TRUE(state.log.Lines().empty());
}

}  // namespace
}  // namespace fh
