#include "instruments/ado_database.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_dir.h"

namespace fh {
namespace {

using testing::WriteFile;

constexpr char kConnection[] =
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended Properties='text;HDR=Yes;FMT=Delimited(|)';";

// A schema section as the master loaders write it, naming columns FieldName1 to FieldName<columns>.
std::string Schema(const std::string& file, int columns) {
  std::string s = "[" + file + "]\nColNameHeader = TRUE\nFormat = Delimited(|)\nCharacterSet = ANSI\n";
  for (int i = 1; i <= columns; ++i) s += "Col" + std::to_string(i) + "=FieldName" + std::to_string(i) + " Char\n";
  return s;
}

const std::string kLongField(3 << 20, 'L');  // three times the 1 MiB read chunk

// A drive C:\ with the files the queries read.
class AdoTest : public ::testing::Test {
 protected:
  AdoTest() {
    std::string longFile = "h\n";
    for (int i = 0; longFile.size() < (1 << 20) + 100; ++i) longFile += std::to_string(i) + "|filler|CE\n";
    WriteFile(drive.File("long.txt"), longFile + "1|" + kLongField + "|XX\n2|short|XX\n3|other|CE\n");
    WriteFile(drive.File("Schema.ini"),
              "[other.txt]\nCol1=Wrong Char\n" + Schema("security.txt", 80) + Schema("m.txt", 5) +
                  Schema("long.txt", 3) + Schema("h.txt", 3) + Schema("empty.txt", 3) + Schema("f.txt", 3) +
                  Schema("sub", 3) + "[c.txt]\nColNameHeader = FALSE\nFormat = Delimited(;)\nCol1=A Char\nCol2=B Char\n");
    WriteFile(drive.File("security.txt"),
              "Token|Symbol|Series|Rest\n22|ACC|EQ|x\n23|BHEL|BE|y\n24|CIPLA|eq|z\n\n25|DLF|EQ\n26|ELS|\n27\n");
    WriteFile(drive.File("m.txt"), std::string("h\r\n1||c\r\n2\r\n\"3|x\"\"y\"|q|r|s|t\r\n\"\"|\"a\"tail|b\r\n") +
                                       std::string("n\0ul|\"open|x\r\n", 14) + "4|last|no line end");
    WriteFile(drive.File("c.txt"), "1;x|y\n2;z\n");
    WriteFile(drive.File("h.txt"), "a|b|c\n");
    WriteFile(drive.File("empty.txt"), "");
    WriteFile(drive.File("f.txt"), "h\n1|2|3\n");
    std::filesystem::create_directories(drive.path() / "sub");
    WriteFile((drive.path() / "sub" / "g.txt").string(), "h\n1\n");
  }

  // Runs query and gives each row's fields joined by '/'.
  std::vector<std::string> Rows(const std::string& query, const std::vector<const char*>& fields) {
    CADORecordset rows(db);
    EXPECT_TRUE(rows.Open(query)) << rows.LastErrorText();
    std::vector<std::string> out;
    for (std::string text = "stale"; !rows.AtEnd(); rows.NextRow()) {
      out.emplace_back();
      for (const char* f : fields) {
        EXPECT_TRUE(rows.ReadFieldText(f, text)) << f;
        out.back() += (f == fields.front() ? "" : "/") + text;
      }
    }
    return out;
  }

  testing::TempDir drive;
  FilePlaces places{"", drive.path()};
  CADODatabase db{places};
};

TEST_F(AdoTest, OpensDriveCAndAnEmptyTextReusesTheConnectionString) {
  ASSERT_TRUE(db.Open(kConnection, "", "")) << db.LastErrorText();
  EXPECT_TRUE(db.IsConnected());
  ASSERT_TRUE(db.Open("", "", ""));
  EXPECT_EQ(db.ConnectionString(), kConnection);
  EXPECT_EQ(db.LastErrorText(), "");
  db.Close();
  EXPECT_FALSE(db.IsConnected());
  std::filesystem::remove_all(drive.path());  // a missing drive folder leaves the whole error block
  EXPECT_FALSE(db.Open(kConnection, "", ""));
  EXPECT_EQ(db.LastErrorCode(), 0x80004005u);
  EXPECT_EQ(db.LastErrorText(),
            std::string("Connection String = ") + kConnection +
                "\nCADODataBase Error\n\tCode = 80004005\n\tCode meaning = Operation failed (E_FAIL)\n\tSource = Microsoft "
                "JET Database Engine\n\tDescription = 'C:\\' is not a valid path.  Make sure that the path name is "
                "spelled correctly and that you are connected to the server on which the file resides.\n");
}

TEST_F(AdoTest, RefusesOtherProvidersDrivesAndFormats) {
  struct Case {
    const char* connection;
    std::uint32_t code;
    const char* block;  // the error block after the connection string's line
  };
  const Case cases[] = {
      {"Provider=SQLOLEDB;Data Source=C:\\;Extended Properties='text'", 0x800A0E7A,
       "CADODataBase Error\n\tCode = 800a0e7a\n\tCode meaning = Unknown error 0x800A0E7A\n\tSource = "
       "ADODB.Connection\n\tDescription = Provider cannot be found. It may not be properly installed.\n"},
      {"Data Source=C:\\;", 0x800A0E7A, "No provider is named in the connection string.\n"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\;Extended Properties='Excel 8.0'", 0x80004005,
       "Could not find installable ISAM.\n"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\;Extended Properties='text'", 0x80004005,
       "'D:\\' is not a valid path."},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\..\\;Extended Properties='text'", 0x80004005,
       "'C:\\..\\' is not a valid path."},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Extended Properties='text'", 0x80004005, "'' is not a valid path."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connection);
    ASSERT_TRUE(db.Open(kConnection));
    EXPECT_FALSE(db.Open(c.connection));
    EXPECT_FALSE(db.IsConnected());
    EXPECT_EQ(db.LastErrorCode(), c.code);
    const std::string text = db.LastErrorText();
    EXPECT_EQ(text.rfind(std::string("Connection String = ") + c.connection + "\nCADODataBase Error\n", 0), 0u) << text;
    EXPECT_NE(text.find(c.block), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
  }
  EXPECT_FALSE(db.Open(""));  // reuses the last, failing, text
  EXPECT_EQ(db.LastErrorText().rfind("Connection String = Provider=Microsoft.Jet.OLEDB.4.0;Extended", 0), 0u);
}

TEST_F(AdoTest, SelectsBySchemaNamesThroughQuotesShortLinesAndLongLines) {
  ASSERT_TRUE(db.Open(kConnection));
  EXPECT_EQ(Rows("Select FieldName1,FieldName2,FieldName3 from [security.txt] where FieldName3 = 'EQ';",
                 {"fieldname2", "FieldName1"}),
            (std::vector<std::string>{"ACC/22", "CIPLA/24", "DLF/25"}));
  // An empty field matches no text, not even the empty one.
  EXPECT_EQ(Rows("Select FieldName1 from [security.txt] where FieldName3 = ''", {"FieldName1"}),
            std::vector<std::string>{});
  EXPECT_EQ(Rows(" \t Select FieldName1, FieldName2 ,FieldName3 from m.txt", {"FieldName1", "FieldName2", "FieldName3"}),
            (std::vector<std::string>{"1//c", "2//", "3|x\"y/q/r", "/a/b", std::string("n\0ul/open|x/", 12),
                                      "4/last/no line end"}));
  EXPECT_EQ(Rows("Select FieldName2 from [long.txt] where FieldName3 = 'XX'", {"FieldName2"}),
            (std::vector<std::string>{kLongField, "short"}));
  // The schema sets the header line and the delimiter.
  EXPECT_EQ(Rows("Select A, B from [c.txt]", {"B", "a"}), (std::vector<std::string>{"x|y/1", "z/2"}));
  EXPECT_EQ(Rows("Select FieldName1 from [empty.txt]", {}), std::vector<std::string>{});
}

TEST_F(AdoTest, QueryFailuresLeaveTheRecordsetErrorBlock) {
  CADORecordset rows(db);
  rows.Close();  // never opened: nothing happens
  EXPECT_EQ(rows.LastErrorCode(), 0u);
  EXPECT_EQ(rows.LastErrorText(), "");
  rows.NextRow();
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0E78u);
  EXPECT_FALSE(rows.Open("Select FieldName1 from [f.txt]"));  // not connected yet
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0E7Du);
  ASSERT_TRUE(db.Open(kConnection));

  EXPECT_FALSE(rows.Open("  Delete from [f.txt];"));
  const std::string block = "Query = Delete from [f.txt];\nCADORecordset Error\n\tCode = 80040e14\n\tCode meaning = "
                            "Unknown error 0x80040E14\n\tSource = Microsoft JET Database Engine\n\tDescription = Syntax error";
  EXPECT_EQ(rows.LastErrorText().rfind(block + " in query", 0), 0u) << rows.LastErrorText();
  EXPECT_EQ(rows.LastErrorText().back(), '\n');

  struct Case {
    const char* query;
    int option;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"Select FieldName1 from [f.txt] where FieldName1 > '1'", 1, 0x80040E14}, {"", 0, 0x80040E14},
      {"Select FieldName1 from [f.txt] where FieldName1 = 'open", 1, 0x80040E14},
      {"Select FieldName1 from [f.txt] where FieldName1 = \"1\"", 1, 0x80040E14},
      {"Select from [f.txt]", 1, 0x80040E14}, {"Select * from [f.txt]", 1, 0x80040E14},
      {"Select FieldName1 from [f.txt] order by FieldName1", 1, 0x80040E14},
      {"Select FieldName1, from [f.txt]", 1, 0x80040E14}, {"Select FieldName1 from [f.txt", 1, 0x80040E14},
      {"Select FieldName1 from []", 1, 0x80040E14}, {"Select FieldName1 from [missing.txt]", 1, 0x80040E37},
      {"Select FieldName1 from [sub/g.txt]", 1, 0x80040E37}, {"Select FieldName1 from [..\\f.txt]", 1, 0x80040E37},
      {"Select FieldName1 from [sub]", 1, 0x80040E37}, {"Select FieldName4 from [f.txt]", 1, 0x80040E10},
      {"Select FieldName1 from [f.txt] where Nope = 'x'", 1, 0x80040E10},
      {"Select FieldName1 from [f.txt]", 2, 0x800A0BB9},  // the last: its description below
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_FALSE(rows.Open(c.query, c.option));
    EXPECT_EQ(rows.LastErrorCode(), c.code);
    EXPECT_EQ(rows.LastErrorText().rfind(std::string("Query = ") + c.query + "\nCADORecordset Error\n", 0), 0u);
    EXPECT_FALSE(rows.IsOpen());
    EXPECT_TRUE(rows.AtEnd());
  }
  EXPECT_NE(rows.LastErrorText().find("Description = Arguments are of the wrong type"), std::string::npos);

  // A field not selected, or none at all in a header-only file, leaves the text.
  std::string text = "kept";
  ASSERT_TRUE(rows.Open("Select FieldName2 from [f.txt]"));
  EXPECT_FALSE(rows.ReadFieldText("FieldName1", text));
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0CC1u);
  ASSERT_TRUE(rows.Open("Select FieldName1 from [h.txt] where FieldName1 = 'a';"));
  EXPECT_TRUE(rows.AtEnd());
  EXPECT_FALSE(rows.ReadFieldText("FieldName1", text));
  EXPECT_EQ(rows.LastErrorCode(), 0x800A0BCDu);
  rows.NextRow();  // nothing to move to; no harm
  EXPECT_TRUE(rows.AtEnd());
  EXPECT_EQ(text, "kept");
}

}  // namespace
}  // namespace fh
