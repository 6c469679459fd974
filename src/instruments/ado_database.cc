#include "instruments/ado_database.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace fh {
namespace {

constexpr std::string_view kJetSource = "Microsoft JET Database Engine";
constexpr std::string_view kConnectionSource = "ADODB.Connection";
constexpr std::string_view kRecordsetSource = "ADODB.Recordset";
constexpr std::string_view kNoValueText = "No value given for one or more required parameters.";
constexpr std::string_view kNoCurrentRecordText =
    "Either BOF or EOF is true, or the current record has been deleted. Requested operation requires a current "
    "record.";
constexpr std::size_t kMaxColumn = 4096;  // the highest column number a schema may name
constexpr std::string_view kReadFailedText = "Unexpected error from external database driver.";

// Letter case of the ASCII letters only, as the engine compares names and texts.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  const auto same = [](char x, char y) { return x == y || Lower(x) == Lower(y); };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n\f\v";
  s.remove_prefix(std::min(s.find_first_not_of(kBlanks), s.size()));
  return s.substr(0, s.find_last_not_of(kBlanks) + 1);
}

// Splits "a=1;b='x;y'" at the separators that are outside quotes.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (quote != 0) {
      if (s[i] == quote) quote = 0;
    } else if (s[i] == '\'' || s[i] == '"') {
      quote = s[i];
    } else if (s[i] == separator) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(s.substr(start));
  return parts;
}

// "key = value" split at the first '=', both trimmed and the value unquoted;
// false when there is no '='.
bool KeyValue(std::string_view s, std::string_view* key, std::string_view* value) {
  const std::size_t eq = s.find('=');
  if (eq == std::string_view::npos) return false;
  *key = Trim(s.substr(0, eq));
  std::string_view v = Trim(s.substr(eq + 1));
  if (v.size() >= 2 && (v[0] == '\'' || v[0] == '"') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  *value = v;
  return true;
}

// "Delimited(|)" -> '|'; a double quote cannot delimit.
std::optional<char> DelimiterOf(std::string_view f) {
  constexpr std::string_view kOpen = "Delimited(";
  f = Trim(f);
  const bool ok = f.size() == kOpen.size() + 2 && SameText(f.substr(0, kOpen.size()), kOpen) && f.back() == ')';
  return ok && f[kOpen.size()] != '"' ? std::optional(f[kOpen.size()]) : std::nullopt;
}

// The file's section of the folder's Schema.ini: whether a header line comes
// first and the delimiter (left as they are when the section does not say), and
// the column names (index = column number - 1; unnamed columns are empty).
void ReadSchema(const std::filesystem::path& folder, std::string_view fileName, bool& header, char& delimiter,
                std::vector<std::string>& names) {
  std::ifstream in(folder / "Schema.ini", std::ios::binary);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string_view l = Trim(line);
    if (l.empty() || l.front() == ';') continue;
    if (l.front() == '[') {
      inSection = SameText(Trim(l.substr(1, l.find(']') - 1)), fileName);
      continue;
    }
    std::string_view key, value;
    if (!inSection || !KeyValue(l, &key, &value)) continue;
    if (SameText(key, "ColNameHeader")) {
      header = SameText(value, "TRUE");
    } else if (SameText(key, "Format")) {
      delimiter = DelimiterOf(value).value_or(delimiter);
    } else if (key.size() > 3 && SameText(key.substr(0, 3), "Col")) {
      // "ColN=Name Type": the name up to the first blank; the type is always text here.
      std::size_t number = 0;
      const auto [end, ec] = std::from_chars(key.data() + 3, key.data() + key.size(), number);
      if (ec != std::errc() || end != key.data() + key.size() || number < 1 || number > kMaxColumn) continue;
      if (names.size() < number) names.resize(number);
      names[number - 1] = std::string(value.substr(0, value.find_first_of(" \t")));
    }
  }
}

// The query "Select a,b from [file] where c = 'x';" taken apart.
struct ParsedQuery {
  std::vector<std::string> fields;
  std::string table;
  std::string whereField;  // empty: no where clause
  std::string whereValue;
};

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '$' || c == '-';
}

// Empty when s is not of the one supported form. Its words are names (a run
// of name characters, or any text but ']' in brackets), 'texts' and the
// characters , = and ;.
std::optional<ParsedQuery> ParseQuery(std::string_view s) {
  std::vector<std::string_view> words;
  for (std::size_t i = 0, end = 0; i < s.size(); i = end) {
    end = i + 1;
    if (s[i] == '[' || s[i] == '\'') {
      end = s.find(s[i] == '[' ? ']' : '\'', i + 1);
      if (end++ == std::string_view::npos) return std::nullopt;
    } else {
      while (NameChar(s[i]) && end < s.size() && NameChar(s[end])) ++end;
    }
    if (!IsSpace(s[i])) words.push_back(s.substr(i, end - i));
  }
  std::size_t k = 0;
  const auto is = [&](std::string_view word) { return k < words.size() && SameText(words[k], word) && ++k; };
  const auto name = [&](std::string* out) {
    if (k == words.size() || !(NameChar(words[k][0]) || words[k][0] == '[')) return false;
    const std::string_view w = words[k++];
    *out = std::string(w[0] == '[' ? w.substr(1, w.size() - 2) : w);
    return !out->empty();
  };
  ParsedQuery q;
  if (!is("select")) return std::nullopt;
  do {
    if (!name(&q.fields.emplace_back())) return std::nullopt;
  } while (is(","));
  if (!is("from") || !name(&q.table)) return std::nullopt;
  if (is("where")) {
    if (!name(&q.whereField) || !is("=") || k == words.size() || words[k][0] != '\'') return std::nullopt;
    q.whereValue = std::string(words[k].substr(1, words[k].size() - 2));
    ++k;
  }
  is(";");
  return k == words.size() ? std::optional(std::move(q)) : std::nullopt;
}

// Splits [p, stop) at delimiter into at most limit fields, stored in out;
// returns how many. A field that begins with a double quote loses its quotes
// ("" inside stands for one), rewritten in place; text after its closing quote
// up to the delimiter is dropped.
std::size_t SplitFields(char* p, char* const stop, char delimiter, std::string_view* out, std::size_t limit) {
  std::size_t count = 0;
  while (count < limit) {
    char* const start = p;
    char* end = nullptr;  // of a quoted field's text
    if (p != stop && *p == '"') {
      for (end = p++; p != stop && (*p != '"' || (p + 1 != stop && p[1] == '"')); ++p) {
        p += *p == '"';  // the first of a doubled quote
        *end++ = *p;
      }
    }
    char* const d = std::find(p, stop, delimiter);
    out[count++] = std::string_view(start, static_cast<std::size_t>((end != nullptr ? end : d) - start));
    if (d == stop) break;
    p = d + 1;
  }
  return count;
}

std::string ErrorBlock(std::string_view lead, std::string_view body, std::string_view title, std::uint32_t code,
                       std::string_view source, std::string_view description) {
  char meaning[32] = "Operation failed (E_FAIL)";
  char codeText[96];
  const auto value = static_cast<unsigned long>(code);
  if (code != ado_error::kFailed) std::snprintf(meaning, sizeof meaning, "Unknown error 0x%08lX", value);
  std::snprintf(codeText, sizeof codeText, "%08lx\n\tCode meaning = %s\n\tSource = ", value, meaning);
  return std::string(lead).append(body).append("\n").append(title).append(" Error\n\tCode = ").append(codeText)
      .append(source).append("\n\tDescription = ").append(description).append("\n");
}

}  // namespace

// ---------------------------------------------------------------- database

CADODatabase::CADODatabase(const FilePlaces& places) : places_(places) {}

bool CADODatabase::Fail(std::uint32_t code, std::string_view source, std::string_view description) {
  lastErrorCode_ = code;
  lastErrorText_ = ErrorBlock("Connection String = ", connectionString_, "CADODataBase", code, source, description);
  return false;
}

bool CADODatabase::Open(std::string_view connection, std::string_view /*user*/, std::string_view /*password*/) {
  try {
    Close();
    if (!connection.empty()) connectionString_ = std::string(connection);

    std::string_view provider, dataSource, extended, key, value;
    for (std::string_view part : SplitOutsideQuotes(connectionString_, ';')) {
      if (!KeyValue(part, &key, &value)) continue;
      if (SameText(key, "Provider")) provider = value;
      if (SameText(key, "Data Source")) dataSource = value;
      if (SameText(key, "Extended Properties")) extended = value;
    }
    if (!SameText(provider, "Microsoft.Jet.OLEDB.4.0")) {
      return Fail(ado_error::kProviderNotFound, kConnectionSource,
                  provider.empty() ? "No provider is named in the connection string."
                                   : "Provider cannot be found. It may not be properly installed.");
    }

    // Extended Properties: "text" first, then HDR= and FMT= in any order.
    const std::vector<std::string_view> options = SplitOutsideQuotes(extended, ';');
    if (!SameText(Trim(options.front()), "text")) {
      return Fail(ado_error::kFailed, kJetSource, "Could not find installable ISAM.");
    }
    headerLine_ = true;
    delimiter_ = ',';
    for (std::size_t i = 1; i < options.size(); ++i) {
      if (!KeyValue(options[i], &key, &value)) continue;
      if (SameText(key, "HDR")) headerLine_ = SameText(value, "Yes") || SameText(value, "True");
      if (SameText(key, "FMT")) delimiter_ = DelimiterOf(value).value_or(delimiter_);
    }

    // The folder: the root of drive C:, which the system drive's folder stands for.
    dataFolder_ = places_.SystemDriveDir().empty() ? "." : places_.SystemDriveDir();
    const bool valid = dataSource.size() >= 2 && Lower(dataSource[0]) == 'c' && dataSource[1] == ':' &&
                       dataSource.find_first_not_of("\\/", 2) == std::string_view::npos;
    std::error_code ec;
    if (!valid || !std::filesystem::is_directory(dataFolder_, ec)) {
      return Fail(ado_error::kFailed, kJetSource,
                  "'" + std::string(dataSource) + "' is not a valid path.  Make sure that the path name is spelled "
                  "correctly and that you are connected to the server on which the file resides.");
    }
    open_ = true;
    return true;
  } catch (const std::exception& e) {
    return Fail(ado_error::kFailed, kJetSource, e.what());
  }
}

// ---------------------------------------------------------------- recordset

struct CADORecordset::Cursor {
  int fd = -1;
  std::vector<char> buffer = std::vector<char>(1 << 20);  // grows for a line longer than itself
  std::size_t begin = 0;  // unread bytes are buffer[begin, end)
  std::size_t end = 0;
  bool ended = false;     // the file has no more bytes
  bool readFailed = false;
  char delimiter = ',';
  std::vector<std::pair<std::string, std::size_t>> selected;  // field name as queried, column number - 1
  std::size_t needed = 0;                                      // columns split per row
  std::optional<std::size_t> whereColumn;
  std::string whereValue;
  std::vector<std::string_view> fields;  // the current row's first fields: [0, count)
  std::size_t count = 0;
  bool hasRow = false;

  ~Cursor() {
    if (fd >= 0) ::close(fd);
  }

  std::string_view Field(std::size_t column) const { return column < count ? fields[column] : ""; }

  // Splits the next line, without its line end, into at most limit fields;
  // false at the end of the file.
  bool ReadLine(std::size_t limit) {
    std::size_t nl;
    while ((nl = std::string_view(buffer.data(), end).find('\n', begin)) == std::string_view::npos && !ended) {
      // Keep the partial line at the start, make room and read on.
      std::memmove(buffer.data(), buffer.data() + begin, end - begin);
      end -= begin;
      begin = 0;
      if (end == buffer.size()) buffer.resize(2 * buffer.size());
      const ssize_t got = ::read(fd, buffer.data() + end, buffer.size() - end);
      ended = got <= 0;
      readFailed = got < 0;
      end += ended ? 0 : static_cast<std::size_t>(got);
    }
    if (begin == end) return false;
    char* const line = buffer.data() + begin;
    std::size_t length = std::min(nl, end) - begin;
    begin += length + (nl != std::string_view::npos);
    if (length > 0 && line[length - 1] == '\r') --length;
    count = SplitFields(line, line + length, delimiter, fields.data(), length == 0 ? 0 : limit);
    return true;
  }

  // Moves to the next row that passes the where clause; blank lines are no rows.
  void Advance() {
    do {
      hasRow = ReadLine(needed);
    } while (hasRow && (count == 0 || (whereColumn && (Field(*whereColumn).empty() ||
                                                            !SameText(Field(*whereColumn), whereValue)))));
  }
};

CADORecordset::CADORecordset(CADODatabase& database) : database_(database) {}
CADORecordset::~CADORecordset() { Close(); }

bool CADORecordset::Fail(std::uint32_t code, std::string_view source, std::string_view description) {
  lastErrorCode_ = code;
  lastErrorText_ = ErrorBlock("Query = ", query_, "CADORecordset", code, source, description);
  return false;
}

bool CADORecordset::AtEnd() const { return cursor_ == nullptr || !cursor_->hasRow; }
void CADORecordset::Close() { cursor_.reset(); }

bool CADORecordset::Open(std::string_view source, int option) {
  try {
    Close();
    while (!source.empty() && IsSpace(source.front())) source.remove_prefix(1);
    query_ = std::string(source);
    if (option != openUnknown && option != openQuery) {
      return Fail(ado_error::kBadArguments, kRecordsetSource,
                  "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.");
    }
    const std::optional<ParsedQuery> q = ParseQuery(query_);
    if (!q) {
      return Fail(ado_error::kSyntax, kJetSource,
                  "Syntax error in query. This provider reads \"Select <fields> from [<file>] where <field> = "
                  "'<text>';\".");
    }
    if (!database_.IsConnected()) {
      return Fail(ado_error::kConnectionClosed, kRecordsetSource,
                  "The connection cannot be used to perform this operation. It is either closed or invalid in this "
                  "context.");
    }

    // The file: a plain name in the connection's folder.
    const std::filesystem::path path = database_.dataFolder_ / q->table;
    std::error_code ec;
    auto cursor = std::make_unique<Cursor>();
    if (q->table.find_first_of("/\\") == std::string::npos && std::filesystem::is_regular_file(path, ec)) {
      cursor->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (cursor->fd < 0) {
      return Fail(ado_error::kObjectNotFound, kJetSource,
                  "The Microsoft Jet database engine could not find the object '" + q->table +
                      "'.  Make sure the object exists and that you spell its name and the path name correctly.");
    }

    bool header = database_.headerLine_;
    std::vector<std::string> names;
    cursor->delimiter = database_.delimiter_;
    ReadSchema(database_.dataFolder_, q->table, header, cursor->delimiter, names);
    if (header) cursor->ReadLine(0);

    // The selected fields, then the where clause's field, by the file's column names.
    std::vector<std::string> wanted = q->fields;
    if (!q->whereField.empty()) wanted.push_back(q->whereField);
    for (const std::string& name : wanted) {
      const auto at = std::find_if(names.begin(), names.end(), [&](const std::string& n) { return SameText(n, name); });
      if (at == names.end()) return Fail(ado_error::kNoValue, kJetSource, kNoValueText);
      const auto column = static_cast<std::size_t>(at - names.begin());
      cursor->needed = std::max(cursor->needed, column + 1);
      if (cursor->selected.size() < q->fields.size()) {
        cursor->selected.emplace_back(name, column);
      } else {
        cursor->whereColumn = column;
      }
    }
    cursor->whereValue = q->whereValue;
    cursor->fields.resize(cursor->needed);
    cursor->Advance();
    if (cursor->readFailed) return Fail(ado_error::kFailed, kJetSource, kReadFailedText);
    cursor_ = std::move(cursor);
    return true;
  } catch (const std::exception& e) {
    return Fail(ado_error::kFailed, kJetSource, e.what());
  }
}

void CADORecordset::NextRow() {
  if (cursor_ == nullptr) {
    Fail(ado_error::kObjectClosed, kRecordsetSource, "Operation is not allowed when the object is closed.");
  } else if (!cursor_->hasRow) {
    Fail(ado_error::kNoCurrentRecord, kRecordsetSource, kNoCurrentRecordText);
  } else {
    cursor_->Advance();
    if (cursor_->readFailed) Fail(ado_error::kFailed, kJetSource, kReadFailedText);
  }
}

bool CADORecordset::ReadFieldText(std::string_view field, std::string& out, std::string_view /*dateFormat*/) {
  if (AtEnd()) return Fail(ado_error::kNoCurrentRecord, kRecordsetSource, kNoCurrentRecordText);
  for (int pass = 0; pass < 2; ++pass) {  // callers mostly spell a name as they queried it: that match first
    for (const auto& [name, column] : cursor_->selected) {
      if (pass == 0 ? name == field : SameText(name, field)) {
        out.assign(cursor_->Field(column));
        return true;
      }
    }
  }
  return Fail(ado_error::kItemNotFound, kRecordsetSource,
              "Item cannot be found in the collection corresponding to the requested name or ordinal.");
}

}  // namespace fh
