// CADODatabase and CADORecordset: the database access the master loaders use,
// over a provider of our own for delimited text files (the role the Jet OLE DB
// text provider plays on Windows).
//
// A connection string names the provider ("Microsoft.Jet.OLEDB.4.0"), the
// folder of the text files ("Data Source=C:\;", the root of drive C:, which
// FilePlaces::SystemDriveDir stands for) and the text options ("Extended
// Properties='text;HDR=Yes;FMT=Delimited(|)'"). A recordset runs one query of
// the form
//
//   Select Field1,Field2 from [file.txt] where FieldN = 'text';
//
// (the where clause and the semicolon may be left out) over one file of that
// folder. The file's section of the folder's Schema.ini names the columns
// ("Col1=FieldName1 Char") and may override the header line and the delimiter
// ("ColNameHeader = TRUE", "Format = Delimited(|)"); every column reads as
// text. The where clause compares ignoring letter case, as the Jet engine does,
// and an empty field matches nothing. Rows are read as the caller steps through
// them, so a file of any size costs one line of memory; a field in double
// quotes loses them ("" inside stands for one quote).
//
// Every failure becomes a false result (or nothing, for Close and NextRow) and
// a stored error code and text; no exception leaves these classes.
//
// Thread safety: none; both classes are used by one thread (the dialog's).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "feedstate/file_places.h"

namespace fh {

// Error codes the wrappers record (the platform's HRESULT values).
namespace ado_error {
inline constexpr std::uint32_t kFailed = 0x80004005;             // engine failure, bad path, bad options
inline constexpr std::uint32_t kSyntax = 0x80040E14;             // query outside the supported form
inline constexpr std::uint32_t kNoValue = 0x80040E10;            // a column the file does not have
inline constexpr std::uint32_t kObjectNotFound = 0x80040E37;     // the file is not in the folder
inline constexpr std::uint32_t kBadArguments = 0x800A0BB9;       // an open option other than a query
inline constexpr std::uint32_t kNoCurrentRecord = 0x800A0BCD;    // reading or moving past the end
inline constexpr std::uint32_t kItemNotFound = 0x800A0CC1;       // a field the recordset does not have
inline constexpr std::uint32_t kProviderNotFound = 0x800A0E7A;   // unknown provider
inline constexpr std::uint32_t kConnectionClosed = 0x800A0E7D;   // recordset on a closed connection
inline constexpr std::uint32_t kObjectClosed = 0x800A0E78;       // operation on a closed object
}  // namespace ado_error

class CADODatabase {
 public:
  // The folder that stands for "C:\" is places.SystemDriveDir() (the current
  // directory when that is empty).
  explicit CADODatabase(const FilePlaces& places);
  CADODatabase(const CADODatabase&) = delete;
  CADODatabase& operator=(const CADODatabase&) = delete;

  // Closes an open connection, keeps a non-empty connection text as the
  // connection string, and opens a connection with it (an empty text reuses
  // the previous one). User name and password are accepted and not needed.
  bool Open(std::string_view connection = {}, std::string_view user = {}, std::string_view password = {});
  bool IsConnected() const { return open_; }
  void Close() { open_ = false; }

  std::string LastErrorText() const { return lastErrorText_; }
  std::uint32_t LastErrorCode() const { return lastErrorCode_; }
  const std::string& ConnectionString() const { return connectionString_; }

 private:
  friend class CADORecordset;  // reads the open connection's folder and text options
  bool Fail(std::uint32_t code, std::string_view source, std::string_view description);

  const FilePlaces& places_;
  bool open_ = false;
  std::string connectionString_;
  std::string lastErrorText_;
  std::uint32_t lastErrorCode_ = 0;
  std::filesystem::path dataFolder_;
  bool headerLine_ = true;
  char delimiter_ = ',';
};

class CADORecordset {
 public:
  enum OpenOption { openUnknown = 0, openQuery = 1 };

  // A recordset on database's connection; database must outlive it.
  explicit CADORecordset(CADODatabase& database);
  ~CADORecordset();
  CADORecordset(const CADORecordset&) = delete;
  CADORecordset& operator=(const CADORecordset&) = delete;

  // Runs source as a query (option 0 or 1; any other is refused) and stands on
  // the first row. True when a recordset results, also when it has no rows.
  bool Open(std::string_view source, int option = openUnknown);
  bool IsOpen() const { return cursor_ != nullptr; }
  // True at the end of the rows, and when the recordset is not open.
  bool AtEnd() const;
  // The current row's field as text, empty for an empty or missing field. The
  // columns are all text, so dateFormat has nothing to format. False, with out
  // unchanged, for a field the query did not select or when there is no row.
  bool ReadFieldText(std::string_view field, std::string& out, std::string_view dateFormat = {});
  void NextRow();
  // Closes the recordset if it is open.
  void Close();

  const std::string& Query() const { return query_; }
  std::string LastErrorText() const { return lastErrorText_; }
  std::uint32_t LastErrorCode() const { return lastErrorCode_; }

  struct Cursor;  // the open file and the current row

 private:
  bool Fail(std::uint32_t code, std::string_view source, std::string_view description);

  CADODatabase& database_;
  std::string query_;
  std::string lastErrorText_;
  std::uint32_t lastErrorCode_ = 0;
  std::unique_ptr<Cursor> cursor_;
};

}  // namespace fh
