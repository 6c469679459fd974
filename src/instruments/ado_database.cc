#include "instruments/ado_database.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <optional>
#include <system_error>

namespace fh {
namespace {

constexpr std::string_view kJetSource = "Microsoft JET Database Engine";
constexpr std::string_view kConnectionSource = "ADODB.Connection";
constexpr std::string_view kRecordsetSource = "ADODB.Recordset";
constexpr std::string_view kProvider = "Microsoft.Jet.OLEDB.4.0";
constexpr std::size_t kReadChunk = 1 << 20;

// Letter case of the ASCII letters only, as the engine compares names and texts.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Splits "a=1;b='x;y'" at the semicolons that are outside quotes.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == separator) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(s.substr(start));
  return parts;
}

std::string_view Unquote(std::string_view s) {
  s = Trim(s);
  if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front()) {
    s = s.substr(1, s.size() - 2);
  }
  return s;
}

// "Delimited(|)" -> '|', "TabDelimited" -> '\t', "CSVDelimited" or "Delimited" -> ','.
std::optional<char> DelimiterOf(std::string_view format) {
  format = Trim(format);
  if (SameText(format, "TabDelimited")) return '\t';
  if (SameText(format, "CSVDelimited") || SameText(format, "Delimited")) return ',';
  constexpr std::string_view kDelimited = "Delimited(";
  if (format.size() == kDelimited.size() + 2 && SameText(format.substr(0, kDelimited.size()), kDelimited) &&
      format.back() == ')' && format[kDelimited.size()] != '"') {
    return format[kDelimited.size()];
  }
  return std::nullopt;
}

// A file of folder whose name equals name apart from letter case, as on the
// platform's file systems. Empty when there is none.
std::filesystem::path FindInFolder(const std::filesystem::path& folder, std::string_view name) {
  std::error_code ec;
  const std::filesystem::path exact = folder / std::filesystem::path(name);
  if (std::filesystem::is_regular_file(exact, ec)) return exact;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (SameText(it->path().filename().string(), name) && it->is_regular_file(ec)) return it->path();
  }
  return {};
}

enum class FieldType { kText, kInteger, kFloat, kDate };

FieldType TypeOf(std::string_view type) {
  for (std::string_view t : {"Short", "Integer", "Long", "Byte", "Bit"}) {
    if (SameText(type, t)) return FieldType::kInteger;
  }
  for (std::string_view t : {"Single", "Double", "Float", "Currency"}) {
    if (SameText(type, t)) return FieldType::kFloat;
  }
  if (SameText(type, "DateTime") || SameText(type, "Date")) return FieldType::kDate;
  return FieldType::kText;
}

struct Column {
  std::string name;
  FieldType type = FieldType::kText;
};

// The file's section of Schema.ini.
struct FileSchema {
  bool found = false;
  std::optional<bool> headerLine;
  std::optional<char> delimiter;
  std::vector<Column> columns;  // index = column number - 1; unnamed gaps are empty
};

FileSchema ReadSchema(const std::filesystem::path& folder, std::string_view fileName) {
  FileSchema schema;
  const std::filesystem::path path = FindInFolder(folder, "Schema.ini");
  if (path.empty()) return schema;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string_view l = Trim(line);
    if (l.empty() || l.front() == ';') continue;
    if (l.front() == '[') {
      const std::size_t close = l.find(']');
      inSection = close != std::string_view::npos && SameText(Trim(l.substr(1, close - 1)), fileName);
      schema.found = schema.found || inSection;
      continue;
    }
    if (!inSection) continue;
    const std::size_t eq = l.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(l.substr(0, eq));
    const std::string_view value = Trim(l.substr(eq + 1));
    if (SameText(key, "ColNameHeader")) {
      schema.headerLine = SameText(value, "TRUE");
    } else if (SameText(key, "Format")) {
      schema.delimiter = DelimiterOf(value);
    } else if (key.size() > 3 && SameText(key.substr(0, 3), "Col")) {
      int number = 0;
      const auto [p, ec] = std::from_chars(key.data() + 3, key.data() + key.size(), number);
      if (ec != std::errc() || p != key.data() + key.size() || number < 1 || number > 4096) continue;
      // "Name Type [Width n]"; a name with blanks is quoted.
      std::string_view name = value;
      std::string_view rest;
      if (!value.empty() && value.front() == '"') {
        const std::size_t close = value.find('"', 1);
        name = value.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
        rest = close == std::string_view::npos ? std::string_view() : value.substr(close + 1);
      } else {
        const std::size_t blank = value.find_first_of(" \t");
        name = value.substr(0, blank);
        rest = blank == std::string_view::npos ? std::string_view() : value.substr(blank);
      }
      rest = Trim(rest);
      const std::string_view type = rest.substr(0, rest.find_first_of(" \t"));
      if (schema.columns.size() < static_cast<std::size_t>(number)) schema.columns.resize(number);
      schema.columns[number - 1] = Column{std::string(name), TypeOf(type)};
    }
  }
  return schema;
}

// The query "Select a,b from [file] where c = 'x';" taken apart.
struct ParsedQuery {
  bool all = false;
  std::vector<std::string> fields;
  std::string table;
  std::string whereField;  // empty: no where clause
  std::string whereValue;
};

class QueryParser {
 public:
  explicit QueryParser(std::string_view text) : s_(text) {}

  // Empty when the text is not of the supported form; error says why.
  std::optional<ParsedQuery> Parse(std::string* error) {
    ParsedQuery q;
    if (!Keyword("select")) return Fail(error, "the statement must begin with Select");
    Blanks();
    if (Take('*')) {
      q.all = true;
    } else {
      do {
        Blanks();
        std::string name;
        if (!Name(&name)) return Fail(error, "a field name is expected after Select");
        q.fields.push_back(std::move(name));
        Blanks();
      } while (Take(','));
    }
    if (!Keyword("from")) return Fail(error, "From is expected after the field list");
    Blanks();
    if (!Name(&q.table) || q.table.empty()) return Fail(error, "a file name is expected after From");
    std::replace(q.table.begin(), q.table.end(), '#', '.');
    if (Keyword("where")) {
      Blanks();
      if (!Name(&q.whereField)) return Fail(error, "a field name is expected after Where");
      Blanks();
      if (!Take('=')) return Fail(error, "only the comparison field = 'text' is understood");
      Blanks();
      if (!Literal(&q.whereValue)) return Fail(error, "a quoted text is expected after =");
    }
    Blanks();
    Take(';');
    Blanks();
    if (i_ != s_.size()) return Fail(error, "unexpected text after the statement");
    return q;
  }

 private:
  static std::optional<ParsedQuery> Fail(std::string* error, const char* why) {
    *error = why;
    return std::nullopt;
  }
  void Blanks() {
    while (i_ < s_.size() && IsSpace(s_[i_])) ++i_;
  }
  bool Take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  static bool NameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '#' || c == '$' || c == '-';
  }
  // A keyword standing alone, after blanks.
  bool Keyword(std::string_view word) {
    const std::size_t start = i_;
    Blanks();
    if (s_.size() - i_ >= word.size() && SameText(s_.substr(i_, word.size()), word) &&
        (i_ + word.size() == s_.size() || !NameChar(s_[i_ + word.size()]))) {
      i_ += word.size();
      return true;
    }
    i_ = start;
    return false;
  }
  // [any text but ]] or a run of name characters.
  bool Name(std::string* out) {
    if (Take('[')) {
      const std::size_t close = s_.find(']', i_);
      if (close == std::string_view::npos) return false;
      *out = std::string(s_.substr(i_, close - i_));
      i_ = close + 1;
      return !out->empty();
    }
    const std::size_t start = i_;
    while (i_ < s_.size() && NameChar(s_[i_])) ++i_;
    *out = std::string(s_.substr(start, i_ - start));
    return !out->empty();
  }
  // 'text' with '' for a quote inside.
  bool Literal(std::string* out) {
    if (i_ >= s_.size() || (s_[i_] != '\'' && s_[i_] != '"')) return false;
    const char quote = s_[i_++];
    out->clear();
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c != quote) {
        out->push_back(c);
      } else if (i_ < s_.size() && s_[i_] == quote) {
        out->push_back(quote);
        ++i_;
      } else {
        return true;
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Splits a whole line into its fields (for the header line).
std::vector<std::string> SplitAll(std::string_view line, char delimiter) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t d = line.find(delimiter, start);
    out.emplace_back(Unquote(line.substr(start, d == std::string_view::npos ? std::string_view::npos : d - start)));
    if (d == std::string_view::npos) break;
    start = d + 1;
  }
  return out;
}

std::string ErrorBlock(std::string_view lead, std::string_view body, std::string_view title, std::uint32_t code,
                       std::string_view source, std::string_view description) {
  std::string text;
  text.reserve(lead.size() + body.size() + description.size() + 160);
  text.append(lead).append(body).append("\n").append(title).append(" Error\n\tCode = ");
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(code));
  text.append(hex).append("\n\tCode meaning = ").append(AdoCodeMeaning(code));
  text.append("\n\tSource = ").append(source).append("\n\tDescription = ").append(description).append("\n");
  return text;
}

}  // namespace

std::string AdoCodeMeaning(std::uint32_t code) {
  if (code == ado_error::kFailed) return "Operation failed (E_FAIL)";
  char text[32];
  std::snprintf(text, sizeof text, "Unknown error 0x%08X", static_cast<unsigned>(code));
  return text;
}

// ---------------------------------------------------------------- database

CADODatabase::CADODatabase(const FilePlaces& places) : places_(places) {}
CADODatabase::~CADODatabase() { Close(); }

void CADODatabase::SetError(std::uint32_t code, std::string_view source, std::string_view description) {
  lastErrorCode_ = code;
  lastErrorText_ =
      ErrorBlock("Connection String = ", connectionString_, "CADODataBase", code, source, description);
}

bool CADODatabase::Open(std::string_view connection, std::string_view /*user*/, std::string_view /*password*/) {
  try {
    if (open_) Close();
    if (!connection.empty()) connectionString_ = std::string(connection);

    std::string_view provider, dataSource, extended;
    bool haveDataSource = false;
    for (std::string_view part : SplitOutsideQuotes(connectionString_, ';')) {
      const std::size_t eq = part.find('=');
      if (eq == std::string_view::npos) continue;
      const std::string_view key = Trim(part.substr(0, eq));
      const std::string_view value = Unquote(part.substr(eq + 1));
      if (SameText(key, "Provider")) {
        provider = value;
      } else if (SameText(key, "Data Source")) {
        dataSource = value;
        haveDataSource = true;
      } else if (SameText(key, "Extended Properties")) {
        extended = value;
      }
    }
    if (provider.empty()) {
      SetError(ado_error::kProviderNotFound, kConnectionSource,
               "No provider is named in the connection string.");
      return false;
    }
    if (!SameText(provider, kProvider)) {
      SetError(ado_error::kProviderNotFound, kConnectionSource,
               "Provider cannot be found. It may not be properly installed.");
      return false;
    }

    // Extended Properties: "text" first, then HDR= and FMT= in any order.
    const std::vector<std::string_view> options = SplitOutsideQuotes(extended, ';');
    if (!SameText(Trim(options.front()), "text")) {
      SetError(ado_error::kFailed, kJetSource, "Could not find installable ISAM.");
      return false;
    }
    bool header = true;
    char delimiter = ',';
    for (std::size_t i = 1; i < options.size(); ++i) {
      const std::string_view o = Trim(options[i]);
      const std::size_t eq = o.find('=');
      if (eq == std::string_view::npos) continue;
      const std::string_view key = Trim(o.substr(0, eq));
      const std::string_view value = Unquote(o.substr(eq + 1));
      if (SameText(key, "HDR")) {
        header = SameText(value, "Yes") || SameText(value, "True");
      } else if (SameText(key, "FMT")) {
        if (const std::optional<char> d = DelimiterOf(value)) delimiter = *d;
      }
    }

    // The folder: "C:\..." lies in the folder standing for the system drive.
    std::filesystem::path folder;
    bool valid = haveDataSource && !dataSource.empty();
    if (valid && dataSource.size() >= 2 && dataSource[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(dataSource[0]))) {
      valid = Lower(dataSource[0]) == 'c';
      folder = places_.SystemDriveDir().empty() ? std::filesystem::path(".") : places_.SystemDriveDir();
      std::string rest(dataSource.substr(2));
      std::replace(rest.begin(), rest.end(), '\\', '/');
      for (const auto& piece : std::filesystem::path(rest).relative_path()) {
        if (piece == "..") valid = false;
        if (!piece.empty()) folder /= piece;
      }
    } else if (valid) {
      const std::filesystem::path given{std::string(dataSource)};
      folder = given.is_absolute() || places_.WorkDir().empty() ? given : places_.WorkDir() / given;
    }
    std::error_code ec;
    if (!valid || !std::filesystem::is_directory(folder, ec)) {
      std::string description = "'";
      description.append(dataSource).append(
          "' is not a valid path.  Make sure that the path name is spelled correctly and that you are "
          "connected to the server on which the file resides.");
      SetError(ado_error::kFailed, kJetSource, description);
      return false;
    }
    dataFolder_ = std::move(folder);
    headerLine_ = header;
    delimiter_ = delimiter;
    open_ = true;
    return true;
  } catch (const std::exception& e) {
    SetError(ado_error::kFailed, kJetSource, e.what());
    return false;
  }
}

// ---------------------------------------------------------------- recordset

struct CADORecordset::Cursor {
  struct Selected {
    std::string name;
    std::size_t index;  // column number - 1
    FieldType type;
  };
  struct Field {
    const char* text = nullptr;
    std::size_t size = 0;  // 0: empty or missing
  };

  std::FILE* file = nullptr;
  std::vector<char> buffer;
  std::size_t begin = 0;  // unread bytes are buffer[begin, end)
  std::size_t end = 0;
  bool fileEnded = false;
  bool readFailed = false;
  char delimiter = ',';
  std::vector<Selected> selected;
  std::size_t whereIndex = 0;
  bool hasWhere = false;
  std::string whereValue;
  std::vector<Field> fields;  // the current row, columns 1 to fields.size()
  bool hasRow = false;

  ~Cursor() {
    if (file != nullptr) std::fclose(file);
  }

  // The next line without its line end, in the buffer; false at the end of
  // the file.
  bool ReadLine(char** line, std::size_t* size) {
    std::size_t scanned = begin;
    while (true) {
      if (char* nl = static_cast<char*>(std::memchr(buffer.data() + scanned, '\n', end - scanned))) {
        *line = buffer.data() + begin;
        *size = static_cast<std::size_t>(nl - *line);
        begin = static_cast<std::size_t>(nl - buffer.data()) + 1;
        break;
      }
      if (fileEnded) {
        if (begin == end) return false;
        *line = buffer.data() + begin;  // a last line without a line end
        *size = end - begin;
        begin = end;
        break;
      }
      // Keep the partial line, make room (a line longer than the buffer
      // doubles it) and read on.
      scanned = end - begin;
      if (begin > 0) {
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      if (end == buffer.size()) buffer.resize(buffer.size() * 2);
      const std::size_t got = std::fread(buffer.data() + end, 1, buffer.size() - end, file);
      end += got;
      if (got == 0) {
        fileEnded = true;
        readFailed = std::ferror(file) != 0;
      }
    }
    if (*size > 0 && (*line)[*size - 1] == '\r') --*size;
    return true;
  }

  // Splits the first fields.size() fields of line; a field in double quotes
  // loses them ("" stands for one quote), in place.
  void Split(char* line, std::size_t size) {
    char* p = line;
    char* const stop = line + size;
    bool more = true;
    for (Field& f : fields) {
      if (!more) {
        f = Field{};
        continue;
      }
      if (p < stop && *p == '"') {
        char* w = p;
        const char* r = p + 1;
        while (r < stop) {
          if (*r == '"') {
            if (r + 1 < stop && r[1] == '"') {
              *w++ = '"';
              r += 2;
              continue;
            }
            ++r;
            break;
          }
          *w++ = *r++;
        }
        f = Field{p, static_cast<std::size_t>(w - p)};
        const char* d = static_cast<const char*>(std::memchr(r, delimiter, static_cast<std::size_t>(stop - r)));
        more = d != nullptr;
        p = more ? const_cast<char*>(d) + 1 : stop;
        continue;
      }
      char* d = static_cast<char*>(std::memchr(p, delimiter, static_cast<std::size_t>(stop - p)));
      f = Field{p, static_cast<std::size_t>((d != nullptr ? d : stop) - p)};
      more = d != nullptr;
      p = more ? d + 1 : stop;
    }
  }

  bool Matches() const {
    if (!hasWhere) return true;
    const Field& f = fields[whereIndex];
    return f.size != 0 && SameText(std::string_view(f.text, f.size), whereValue);
  }

  // Moves to the next row that passes the where clause; blank lines are no rows.
  void Advance() {
    hasRow = false;
    char* line;
    std::size_t size;
    while (ReadLine(&line, &size)) {
      if (size == 0) continue;
      Split(line, size);
      if (Matches()) {
        hasRow = true;
        return;
      }
    }
  }
};

CADORecordset::CADORecordset(CADODatabase& database) : database_(database) {}
CADORecordset::~CADORecordset() { Close(); }

void CADORecordset::SetError(std::uint32_t code, std::string_view source, std::string_view description) {
  lastErrorCode_ = code;
  lastErrorText_ = ErrorBlock("Query = ", query_, "CADORecordset", code, source, description);
}

bool CADORecordset::IsOpen() const { return cursor_ != nullptr; }
bool CADORecordset::AtEnd() const { return cursor_ == nullptr || !cursor_->hasRow; }
void CADORecordset::Close() { cursor_.reset(); }

std::vector<std::string> CADORecordset::FieldNames() const {
  std::vector<std::string> names;
  if (cursor_ != nullptr) {
    for (const Cursor::Selected& s : cursor_->selected) names.push_back(s.name);
  }
  return names;
}

bool CADORecordset::Open(std::string_view source, int option) {
  try {
    Close();
    while (!source.empty() && IsSpace(source.front())) source.remove_prefix(1);
    query_ = std::string(source);

    ParsedQuery q;
    if (option == openUnknown || option == openQuery) {
      std::string why;
      std::optional<ParsedQuery> parsed = QueryParser(query_).Parse(&why);
      if (!parsed) {
        SetError(ado_error::kSyntax, kJetSource,
                 "Syntax error in query: " + why +
                     ". This provider reads \"Select <fields> from [<file>] where <field> = '<text>';\".");
        return false;
      }
      q = std::move(*parsed);
    } else if (option == openTable) {
      q.all = true;
      q.table = std::string(Trim(query_));
      if (q.table.size() >= 2 && q.table.front() == '[' && q.table.back() == ']') {
        q.table = q.table.substr(1, q.table.size() - 2);
      }
    } else {
      SetError(ado_error::kBadArguments, kRecordsetSource,
               "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.");
      return false;
    }

    if (!database_.IsConnected()) {
      SetError(ado_error::kConnectionClosed, kRecordsetSource,
               "The connection cannot be used to perform this operation. It is either closed or invalid in this "
               "context.");
      return false;
    }

    // The file: a plain name in the connection's folder.
    std::filesystem::path path;
    if (q.table.find_first_of("/\\") == std::string::npos && q.table != "." && q.table != "..") {
      path = FindInFolder(database_.DataFolder(), q.table);
    }
    auto cursor = std::make_unique<Cursor>();
    if (!path.empty()) cursor->file = std::fopen(path.c_str(), "rb");
    if (cursor->file == nullptr) {
      SetError(ado_error::kObjectNotFound, kJetSource,
               "The Microsoft Jet database engine could not find the object '" + q.table +
                   "'.  Make sure the object exists and that you spell its name and the path name correctly.");
      return false;
    }
    cursor->buffer.resize(kReadChunk);

    const FileSchema schema = ReadSchema(database_.DataFolder(), q.table);
    const bool header = schema.headerLine.value_or(database_.HeaderLine());
    cursor->delimiter = schema.delimiter.value_or(database_.Delimiter());

    std::vector<Column> columns = schema.columns;
    char* line = nullptr;
    std::size_t size = 0;
    if (header && cursor->ReadLine(&line, &size) && columns.empty()) {
      for (std::string& name : SplitAll(std::string_view(line, size), cursor->delimiter)) {
        columns.push_back(Column{std::move(name), FieldType::kText});
      }
    }
    if (!header && columns.empty() && cursor->ReadLine(&line, &size)) {
      // Neither a schema nor a header names the columns: F1, F2, ... as many
      // as the first line has. Then back to the start for the rows.
      columns.resize(SplitAll(std::string_view(line, size), cursor->delimiter).size());
      std::rewind(cursor->file);
      cursor->begin = cursor->end = 0;
      cursor->fileEnded = false;
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].name.empty()) columns[i].name = "F" + std::to_string(i + 1);
    }

    const auto find = [&](std::string_view name) -> std::optional<std::size_t> {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        if (SameText(columns[i].name, name)) return i;
      }
      return std::nullopt;
    };
    std::size_t needed = 0;
    if (q.all) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        cursor->selected.push_back(Cursor::Selected{columns[i].name, i, columns[i].type});
      }
      needed = columns.size();
    }
    for (const std::string& name : q.fields) {
      const std::optional<std::size_t> i = find(name);
      if (!i) {
        SetError(ado_error::kNoValue, kJetSource, "No value given for one or more required parameters.");
        return false;
      }
      cursor->selected.push_back(Cursor::Selected{name, *i, columns[*i].type});
      needed = std::max(needed, *i + 1);
    }
    if (!q.whereField.empty()) {
      const std::optional<std::size_t> i = find(q.whereField);
      if (!i) {
        SetError(ado_error::kNoValue, kJetSource, "No value given for one or more required parameters.");
        return false;
      }
      cursor->hasWhere = true;
      cursor->whereIndex = *i;
      cursor->whereValue = q.whereValue;
      needed = std::max(needed, *i + 1);
    }
    cursor->fields.resize(needed);
    cursor->Advance();
    if (cursor->readFailed) {
      SetError(ado_error::kFailed, kJetSource, "Unexpected error from external database driver.");
      return false;
    }
    cursor_ = std::move(cursor);
    return true;
  } catch (const std::exception& e) {
    Close();
    SetError(ado_error::kFailed, kJetSource, e.what());
    return false;
  }
}

void CADORecordset::NextRow() {
  if (cursor_ == nullptr) {
    SetError(ado_error::kObjectClosed, kRecordsetSource, "Operation is not allowed when the object is closed.");
    return;
  }
  if (!cursor_->hasRow) {
    SetError(ado_error::kNoCurrentRecord, kRecordsetSource,
             "Either BOF or EOF is true, or the current record has been deleted. Requested operation requires a "
             "current record.");
    return;
  }
  cursor_->Advance();
  if (cursor_->readFailed) SetError(ado_error::kFailed, kJetSource, "Unexpected error from external database driver.");
}

bool CADORecordset::ReadFieldText(std::string_view field, std::string& out, std::string_view dateFormat) {
  if (cursor_ == nullptr || !cursor_->hasRow) {
    SetError(ado_error::kNoCurrentRecord, kRecordsetSource,
             "Either BOF or EOF is true, or the current record has been deleted. Requested operation requires a "
             "current record.");
    return false;
  }
  // Callers mostly spell the name as the query did: try that first.
  const Cursor::Selected* column = nullptr;
  for (const Cursor::Selected& s : cursor_->selected) {
    if (s.name == field) {
      column = &s;
      break;
    }
  }
  for (std::size_t i = 0; column == nullptr && i < cursor_->selected.size(); ++i) {
    if (SameText(cursor_->selected[i].name, field)) column = &cursor_->selected[i];
  }
  if (column == nullptr) {
    SetError(ado_error::kItemNotFound, kRecordsetSource,
             "Item cannot be found in the collection corresponding to the requested name or ordinal.");
    return false;
  }
  const Cursor::Field& f = cursor_->fields[column->index];
  const std::string_view text(f.text, f.size);
  out.clear();
  if (text.empty()) return true;
  switch (column->type) {
    case FieldType::kText:
      out.assign(text);
      return true;
    case FieldType::kInteger: {
      const std::string_view t = Trim(text);
      long long v = 0;
      const auto [p, ec] = std::from_chars(t.data() + (!t.empty() && t.front() == '+'), t.data() + t.size(), v);
      if (ec == std::errc() && p == t.data() + t.size()) out = std::to_string(v);
      return true;  // a value that is no number reads as null, as the engine gives it
    }
    case FieldType::kFloat: {
      char copy[64];
      const std::string_view t = Trim(text);
      if (t.size() >= sizeof copy) return true;
      std::memcpy(copy, t.data(), t.size());
      copy[t.size()] = '\0';
      char* endp = nullptr;
      const double v = std::strtod(copy, &endp);
      if (endp == copy + t.size()) {
        char number[64];
        out.assign(number, std::to_chars(number, number + sizeof number, v).ptr);
      }
      return true;
    }
    case FieldType::kDate: {
      char copy[64];
      const std::string_view t = Trim(text);
      if (t.size() >= sizeof copy) return true;
      std::memcpy(copy, t.data(), t.size());
      copy[t.size()] = '\0';
      std::tm tm{};
      const char* endp = strptime(copy, "%Y-%m-%d %H:%M:%S", &tm);
      if (endp == nullptr || *endp != '\0') {
        tm = std::tm{};
        endp = strptime(copy, "%Y-%m-%d", &tm);
      }
      if (endp == nullptr || *endp != '\0') return true;
      const std::string format(dateFormat.empty() ? std::string_view("%Y-%m-%d %H:%M:%S") : dateFormat);
      char formatted[256];
      const std::size_t n = std::strftime(formatted, sizeof formatted, format.c_str(), &tm);
      out.assign(formatted, n);
      return true;
    }
  }
  return true;
}

}  // namespace fh
