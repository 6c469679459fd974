#include "instruments/ado_database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "support/test_dir.h"

namespace fh {
namespace {

using testing::TempDir;
using testing::WriteFile;

constexpr char kConnection[] =
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended Properties='text;HDR=Yes;FMT=Delimited(|)';";

std::string Schema(const std::string& file, int columns, const std::string& type = "Char") {
  std::string s = "[" + file + "]\nColNameHeader = TRUE\nFormat = Delimited(|)\nCharacterSet = ANSI\n";
  for (int i = 1; i <= columns; ++i) {
    s += "Col" + std::to_string(i) + "=FieldName" + std::to_string(i) + " " + type + "\n";
  }
  return s;
}

// All texts of one field over the rows of an opened recordset.
std::vector<std::string> Column(CADORecordset& rows, const char* field) {
  std::vector<std::string> out;
  std::string text;
  while (!rows.AtEnd()) {
    EXPECT_TRUE(rows.ReadFieldText(field, text));
    out.push_back(text);
    rows.NextRow();
  }
  return out;
}

class AdoTest : public ::testing::Test {
 protected:
  TempDir drive;
  FilePlaces places{"", drive.path()};
  CADODatabase db{places};
};

TEST_F(AdoTest, OpensTheFolderThatStandsForDriveC) {
  ASSERT_TRUE(db.Open(kConnection, "", "")) << db.LastErrorText();
  EXPECT_TRUE(db.IsConnected());
  EXPECT_EQ(db.DataFolder(), drive.path());
  EXPECT_EQ(db.Delimiter(), '|');
  EXPECT_TRUE(db.HeaderLine());
  EXPECT_EQ(db.LastErrorText(), "");
  db.Close();
  EXPECT_FALSE(db.IsConnected());
}

TEST_F(AdoTest, AnEmptyConnectionTextReusesThePreviousOne) {
  ASSERT_TRUE(db.Open(kConnection, "", ""));
  ASSERT_TRUE(db.Open("", "", ""));
  EXPECT_EQ(db.ConnectionString(), kConnection);
  EXPECT_TRUE(db.IsConnected());
}

TEST_F(AdoTest, AFolderBelowDriveCIsFound) {
  std::filesystem::create_directories(drive.path() / "masters" / "nse");
  ASSERT_TRUE(db.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\masters\\nse\\;"
                      "Extended Properties=\"text;HDR=No;FMT=TabDelimited\""));
  EXPECT_EQ(db.DataFolder(), drive.path() / "masters" / "nse");
  EXPECT_EQ(db.Delimiter(), '\t');
  EXPECT_FALSE(db.HeaderLine());
}

TEST(AdoDatabase, AMissingDataSourceLeavesTheErrorBlock) {
  TempDir tmp;
  const FilePlaces places("", tmp.path() / "no-such-drive");
  CADODatabase db(places);
  EXPECT_FALSE(db.Open(kConnection, "", ""));
  EXPECT_FALSE(db.IsConnected());
  EXPECT_EQ(db.LastErrorCode(), 0x80004005u);
  EXPECT_EQ(db.LastErrorText(),
            std::string("Connection String = ") + kConnection +
                "\nCADODataBase Error\n\tCode = 80004005\n\tCode meaning = Operation failed (E_FAIL)\n\tSource = Microsoft "
                "JET Database Engine\n\tDescription = 'C:\\' is not a valid path.  Make sure that the path name is "
                "spelled correctly and that you are connected to the server on which the file resides.\n");
}

TEST_F(AdoTest, RefusesOtherProvidersDrivesAndFolders) {
  EXPECT_FALSE(db.Open("Provider=SQLOLEDB;Data Source=C:\\;Extended Properties='text'"));
  EXPECT_EQ(db.LastErrorCode(), 0x800A0E7Au);
  EXPECT_NE(db.LastErrorText().find("\n\tCode = 800a0e7a\n\tCode meaning = Unknown error 0x800A0E7A\n"),
            std::string::npos)
      << db.LastErrorText();

  EXPECT_FALSE(db.Open("Data Source=C:\\;"));
  EXPECT_EQ(db.LastErrorCode(), 0x800A0E7Au);
  EXPECT_FALSE(db.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\;Extended Properties='text'"));
  EXPECT_FALSE(db.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\..\\;Extended Properties='text'"));
  EXPECT_FALSE(db.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended Properties='Excel 8.0'"));
  EXPECT_NE(db.LastErrorText().find("Could not find installable ISAM."), std::string::npos);
  EXPECT_FALSE(db.Open("Provider=Microsoft.Jet.OLEDB.4.0;Extended Properties='text'"));
  EXPECT_FALSE(db.Open(""));  // reuses the last, failing, text
  EXPECT_FALSE(db.IsConnected());
  // A failure keeps the connection string it was given.
  EXPECT_EQ(db.LastErrorText().rfind("Connection String = Provider=Microsoft.Jet.OLEDB.4.0;Extended", 0), 0u);
}

TEST_F(AdoTest, QueriesByTheSchemaNamesAndFiltersIgnoringCase) {
  WriteFile(drive.File("Schema.ini"), Schema("security.txt", 80));
  WriteFile(drive.File("security.txt"),
            "Token|Symbol|Series|Rest\n22|ACC|EQ|x\n23|BHEL|BE|y\n24|CIPLA|eq|z\n\n25|DLF|EQ\n");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("Select FieldName1,FieldName2,FieldName3 from [security.txt] where FieldName3 = 'EQ';", 1))
      << rows.LastErrorText();
  EXPECT_EQ(rows.FieldNames(), (std::vector<std::string>{"FieldName1", "FieldName2", "FieldName3"}));
  EXPECT_EQ(Column(rows, "fieldname2"), (std::vector<std::string>{"ACC", "CIPLA", "DLF"}));
  EXPECT_TRUE(rows.AtEnd());
  rows.Close();
  EXPECT_FALSE(rows.IsOpen());
}

TEST_F(AdoTest, ReadsEmptyAndMissingFieldsAsEmptyText) {
  WriteFile(drive.File("Schema.ini"), Schema("m.txt", 5));
  WriteFile(drive.File("m.txt"), "h\r\n1||c\r\n2\r\n\"3|x\"\"y\"|q|r|s|t\r\n4|last|no line end");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("  \t Select * from m.txt"));
  EXPECT_EQ(rows.Query(), "Select * from m.txt");
  std::string a = "stale", b = "stale", c = "stale";
  std::vector<std::string> seen;
  while (!rows.AtEnd()) {
    EXPECT_TRUE(rows.ReadFieldText("FieldName1", a));
    EXPECT_TRUE(rows.ReadFieldText("FieldName2", b));
    EXPECT_TRUE(rows.ReadFieldText("FieldName3", c));
    seen.push_back(a + "/" + b + "/" + c);
    rows.NextRow();
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1//c", "2//", "3|x\"y/q/r", "4/last/no line end"}));
}

TEST_F(AdoTest, TakesColumnNamesFromTheHeaderWithoutASchema) {
  WriteFile(drive.File("plain.txt"), "Token|Name|\n7|seven|z\n");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("select [Name], F3 FROM [PLAIN.TXT] WHERE token = '7'")) << rows.LastErrorText();
  std::string text;
  ASSERT_FALSE(rows.AtEnd());
  EXPECT_TRUE(rows.ReadFieldText("Name", text));
  EXPECT_EQ(text, "seven");
  EXPECT_TRUE(rows.ReadFieldText("F3", text));
  EXPECT_EQ(text, "z");

  ASSERT_TRUE(db.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended Properties='text;HDR=No;FMT=Delimited(|)'"));
  ASSERT_TRUE(rows.Open("Select F1 from [plain.txt]"));
  EXPECT_EQ(Column(rows, "F1"), (std::vector<std::string>{"Token", "7"}));
}

TEST_F(AdoTest, AHeaderOnlyFileHasNoRows) {
  WriteFile(drive.File("Schema.ini"), Schema("h.txt", 3));
  WriteFile(drive.File("h.txt"), "a|b|c\n");
  WriteFile(drive.File("empty.txt"), "");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("Select FieldName1 from [h.txt] where FieldName1 = 'a';"));
  EXPECT_TRUE(rows.AtEnd());
  std::string text = "kept";
  EXPECT_FALSE(rows.ReadFieldText("FieldName1", text));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0BCDu);
  rows.NextRow();  // nothing to move to; no harm
  EXPECT_TRUE(rows.AtEnd());
  ASSERT_TRUE(rows.Open("Select * from [empty.txt]"));
  EXPECT_TRUE(rows.AtEnd());
}

TEST_F(AdoTest, QueryFailuresLeaveTheRecordsetErrorBlock) {
  WriteFile(drive.File("Schema.ini"), Schema("f.txt", 3));
  WriteFile(drive.File("f.txt"), "h\n1|2|3\n");
  std::filesystem::create_directories(drive.path() / "sub");
  WriteFile((drive.path() / "sub" / "g.txt").string(), "h\n1\n");
  CADORecordset rows(db);
  // Not connected yet.
  EXPECT_FALSE(rows.Open("Select * from [f.txt]"));
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0E7Du);
  ASSERT_TRUE(db.Open(kConnection));

  EXPECT_FALSE(rows.Open("Delete from [f.txt];"));
  EXPECT_EQ(rows.LastErrorCode(), 0x80040E14u);
  EXPECT_EQ(rows.LastErrorText().rfind("Query = Delete from [f.txt];\nCADORecordset Error\n\tCode = 80040e14\n"
                                       "\tCode meaning = Unknown error 0x80040E14\n\tSource = Microsoft JET Database "
                                       "Engine\n\tDescription = Syntax error in query",
                                       0),
            0u)
      << rows.LastErrorText();
  EXPECT_EQ(rows.LastErrorText().back(), '\n');

  for (const char* bad : {"Select FieldName1 from [f.txt] where FieldName1 > '1'",
                          "Select FieldName1 from [f.txt] where FieldName1 = 'open", "Select from [f.txt]",
                          "Select FieldName1 from [f.txt] order by FieldName1", "Select FieldName1, from [f.txt]",
                          "Select FieldName1 from [f.txt", ""}) {
    EXPECT_FALSE(rows.Open(bad)) << bad;
    EXPECT_EQ(rows.LastErrorCode(), 0x80040E14u) << bad;
    EXPECT_TRUE(rows.AtEnd());
  }

  EXPECT_FALSE(rows.Open("Select * from [missing.txt]"));
  EXPECT_EQ(rows.LastErrorCode(), 0x80040E37u);
  EXPECT_NE(rows.LastErrorText().find("could not find the object 'missing.txt'"), std::string::npos);
  EXPECT_FALSE(rows.Open("Select * from [sub/g.txt]"));
  EXPECT_EQ(rows.LastErrorCode(), 0x80040E37u);
  EXPECT_FALSE(rows.Open("Select * from [../f.txt]"));
  EXPECT_FALSE(rows.Open("Select * from [sub]"));

  EXPECT_FALSE(rows.Open("Select FieldName9 from [f.txt]"));
  EXPECT_EQ(rows.LastErrorCode(), 0x80040E10u);
  EXPECT_FALSE(rows.Open("Select FieldName1 from [f.txt] where Nope = 'x'"));
  EXPECT_EQ(rows.LastErrorCode(), 0x80040E10u);
  EXPECT_FALSE(rows.Open("f.txt", 4));
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0BB9u);
  EXPECT_FALSE(rows.IsOpen());

  ASSERT_TRUE(rows.Open("Select FieldName2 from [f.txt]"));
  std::string text = "kept";
  EXPECT_FALSE(rows.ReadFieldText("FieldName1", text));  // not selected
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0CC1u);
  EXPECT_EQ(text, "kept");
}

TEST(AdoRecordset, CloseBeforeOpenDoesNothing) {
  TempDir tmp;
  const FilePlaces places("", tmp.path());
  CADODatabase db(places);
  CADORecordset rows(db);
  rows.Close();
  EXPECT_FALSE(rows.IsOpen());
  EXPECT_TRUE(rows.AtEnd());
  EXPECT_EQ(rows.LastErrorCode(), 0u);
  EXPECT_EQ(rows.LastErrorText(), "");
}

TEST_F(AdoTest, ConvertsTypedColumns) {
  WriteFile(drive.File("Schema.ini"),
            "[t.txt]\nColNameHeader=False\nFormat=CSVDelimited\nCol1=N Integer\nCol2=X Double\n"
            "Col3=D DateTime\nCol4=\"Long Name\" Text Width 20\n");
  WriteFile(drive.File("t.txt"), " 042 ,17.25,2018-04-26 09:15:00,a b\nabc,x,junk,\n");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("Select N, X, D, [Long Name] from [t.txt]")) << rows.LastErrorText();
  std::string text;
  EXPECT_TRUE(rows.ReadFieldText("N", text));
  EXPECT_EQ(text, "42");
  EXPECT_TRUE(rows.ReadFieldText("X", text));
  EXPECT_EQ(text, "17.25");
  EXPECT_TRUE(rows.ReadFieldText("D", text));
  EXPECT_EQ(text, "2018-04-26 09:15:00");
  EXPECT_TRUE(rows.ReadFieldText("D", text, "%d/%m/%Y"));
  EXPECT_EQ(text, "26/04/2018");
  EXPECT_TRUE(rows.ReadFieldText("Long Name", text));
  EXPECT_EQ(text, "a b");
  rows.NextRow();
  ASSERT_FALSE(rows.AtEnd());
  for (const char* f : {"N", "X", "D", "Long Name"}) {
    EXPECT_TRUE(rows.ReadFieldText(f, text)) << f;  // not a number or date: read as empty
    EXPECT_EQ(text, "") << f;
  }
}

TEST_F(AdoTest, ReadsALineLongerThanTheReadBuffer) {
  const std::string longField(3 << 20, 'L');
  WriteFile(drive.File("Schema.ini"), Schema("long.txt", 3));
  WriteFile(drive.File("long.txt"), "h\n1|" + longField + "|XX\n2|short|XX\n3|other|CE\n");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("Select FieldName1, FieldName2 from [long.txt] where FieldName3 = 'XX'"));
  const std::vector<std::string> second = Column(rows, "FieldName2");
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0], longField);
  EXPECT_EQ(second[1], "short");
}

TEST_F(AdoTest, OpensAWholeFileAsATable) {
  WriteFile(drive.File("Schema.ini"), Schema("w.txt", 2));
  WriteFile(drive.File("w.txt"), "h\n1|a\n2|b\n");
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  ASSERT_TRUE(rows.Open("[w.txt]", CADORecordset::openTable));
  EXPECT_EQ(Column(rows, "FieldName2"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(AdoTest, GarbageFilesAndQueriesNeverCrash) {
  std::mt19937 rng(5);
  static constexpr char kBytes[] = "|||\"\"\r\n\n ab1'[];=*,\t\0\xff";
  const std::string alphabet(kBytes, sizeof kBytes - 1);
  WriteFile(drive.File("Schema.ini"), Schema("g.txt", 4));
  ASSERT_TRUE(db.Open(kConnection));
  CADORecordset rows(db);
  std::string text;
  for (int round = 0; round < 300; ++round) {
    std::string bytes(rng() % 400, ' ');
    for (char& c : bytes) c = alphabet[rng() % alphabet.size()];
    WriteFile(drive.File("g.txt"), bytes);
    std::string query = "Select FieldName1,FieldName4 from [g.txt] where FieldName2 = 'a'";
    if (round % 3 == 0) {
      for (int i = 0; i < 3; ++i) query[rng() % query.size()] = alphabet[rng() % alphabet.size()];
    }
    if (!rows.Open(query)) continue;
    for (int n = 0; !rows.AtEnd() && n < 1000; ++n) {
      rows.ReadFieldText("FieldName1", text);
      rows.ReadFieldText("FieldName4", text);
      rows.NextRow();
    }
    EXPECT_TRUE(rows.AtEnd());
  }
}

}  // namespace
}  // namespace fh
