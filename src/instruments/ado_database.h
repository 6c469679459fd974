// CADODatabase and CADORecordset: the database access the master loaders use,
// over a provider of our own for '|'-delimited text files (the role the Jet
// OLE DB text provider plays on Windows).
//
// A connection string names the provider ("Microsoft.Jet.OLEDB.4.0"), the
// folder of the text files ("Data Source=C:\;", where the drive C:\ stands for
// FilePlaces::SystemDriveDir) and the text options ("Extended
// Properties='text;HDR=Yes;FMT=Delimited(|)'"). A recordset runs one query of
// the form
//
//   Select Col1,Col2 from [file.txt] where ColN = 'text';   (or "Select *",
//   no where clause, an unbracketed file name)
//
// over one file of that folder. Column names and the delimiter come from the
// file's section of the folder's Schema.ini ("ColNameHeader = TRUE",
// "Format = Delimited(|)", "Col1=FieldName1 Char"), or else from the header
// line and the connection's options. The comparison in the where clause
// ignores letter case, as the Jet engine's does. Rows are read from the file as
// the caller steps through them, so a file of any size costs one line of
// memory; the text of the current row's fields is valid until NextRow.
//
// Every failure becomes a false result (or nothing, for Close and NextRow) and
// a stored error code and text; no exception leaves these classes.
//
// Thread safety: none; both classes are used by one thread (the dialog's).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "feedstate/file_places.h"

namespace fh {

// Error codes the wrappers record (the platform's HRESULT values).
namespace ado_error {
inline constexpr std::uint32_t kFailed = 0x80004005;        // engine failure, bad path, bad options
inline constexpr std::uint32_t kSyntax = 0x80040E14;             // query outside the supported form
inline constexpr std::uint32_t kNoValue = 0x80040E10;            // a column the file does not have
inline constexpr std::uint32_t kObjectNotFound = 0x80040E37;     // the file is not in the folder
inline constexpr std::uint32_t kBadArguments = 0x800A0BB9;       // an unsupported open option
inline constexpr std::uint32_t kNoCurrentRecord = 0x800A0BCD;    // reading or moving past the end
inline constexpr std::uint32_t kItemNotFound = 0x800A0CC1;       // a field the recordset does not have
inline constexpr std::uint32_t kProviderNotFound = 0x800A0E7A;   // unknown provider
inline constexpr std::uint32_t kConnectionClosed = 0x800A0E7D;   // recordset on a closed connection
inline constexpr std::uint32_t kObjectClosed = 0x800A0E78;       // operation on a closed object
}  // namespace ado_error

// What the platform would say about an error code ("Operation failed (E_FAIL)", or
// "Unknown error 0x80040E37" for codes it has no text for).
std::string AdoCodeMeaning(std::uint32_t code);

class CADODatabase {
 public:
  // The folder that stands for "C:\" is places.SystemDriveDir() (the current
  // directory when that is empty).
  explicit CADODatabase(const FilePlaces& places);
  ~CADODatabase();
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
  // Seconds; 0 keeps the provider's default. A local folder needs no timeout,
  // so the value is kept and has no effect.
  void SetConnectionTimeout(long seconds) { connectionTimeout_ = seconds; }
  long ConnectionTimeout() const { return connectionTimeout_; }

  // The open connection's settings, for CADORecordset.
  const std::filesystem::path& DataFolder() const { return dataFolder_; }
  bool HeaderLine() const { return headerLine_; }
  char Delimiter() const { return delimiter_; }

 private:
  void SetError(std::uint32_t code, std::string_view source, std::string_view description);

  const FilePlaces& places_;
  bool open_ = false;
  std::string connectionString_;
  std::string lastErrorText_;
  std::uint32_t lastErrorCode_ = 0;
  long connectionTimeout_ = 0;
  std::filesystem::path dataFolder_;
  bool headerLine_ = true;
  char delimiter_ = ',';
};

class CADORecordset {
 public:
  enum OpenOption { openUnknown = 0, openQuery = 1, openTable = 2 };

  // A recordset on database's connection; database must outlive it.
  explicit CADORecordset(CADODatabase& database);
  ~CADORecordset();
  CADORecordset(const CADORecordset&) = delete;
  CADORecordset& operator=(const CADORecordset&) = delete;

  // Runs source as a query (option 0 or 1) or reads the whole file it names
  // (option 2), and stands on the first row. True when a recordset results,
  // also when it has no rows.
  bool Open(std::string_view source, int option = openUnknown);
  bool IsOpen() const;
  // True at the end of the rows, and when the recordset is not open.
  bool AtEnd() const;
  // The current row's field as text: empty for an empty or missing field;
  // integer columns in decimal, floating-point ones with their fraction, date
  // columns in dateFormat ("%Y-%m-%d %H:%M:%S" when empty). False, with out
  // unchanged, for an unknown field name or when there is no current row.
  bool ReadFieldText(std::string_view field, std::string& out, std::string_view dateFormat = {});
  void NextRow();
  // Closes the recordset if it is open.
  void Close();

  // Names of the recordset's fields, in order.
  std::vector<std::string> FieldNames() const;
  const std::string& Query() const { return query_; }
  std::string LastErrorText() const { return lastErrorText_; }
  std::uint32_t LastErrorCode() const { return lastErrorCode_; }

  struct Cursor;  // the open file and the current row

 private:
  void SetError(std::uint32_t code, std::string_view source, std::string_view description);

  CADODatabase& database_;
  std::string query_;
  std::string lastErrorText_;
  std::uint32_t lastErrorCode_ = 0;
  std::unique_ptr<Cursor> cursor_;
};

}  // namespace fh
