#include "instruments/masters.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

namespace fh {
namespace {

constexpr int kSchemaColumns = 80;
constexpr std::size_t kExpirySize = 16;  // "%02d%.3s%04d" and its NUL, with room to spare
constexpr char kConnectionFailed[] = "DBSQLContract Not Found! Failed";
constexpr char kMonths[12][4] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                 "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// The leading integer of text the way atoi reads it (blanks, a sign, digits;
// anything after is ignored; no digits give 0), held to the type's range.
template <class Int>
Int LeadingInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  constexpr std::int64_t kMax = std::numeric_limits<Int>::max();
  std::int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = std::min<std::int64_t>(v * 10 + (text[i] - '0'), kMax + 1);  // kMax + 1 fits: Int is at most 32 bits
  }
  if (negative) return static_cast<Int>(-v);
  return static_cast<Int>(std::min(v, kMax));
}

std::int64_t LeadingInteger64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 10 - 1;
  std::int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v < kLimit) v = v * 10 + (text[i] - '0');
  }
  return negative ? -v : v;
}

// Blanks over width bytes, then text over them from the start.
void CopyPadded(char* out, std::size_t width, std::string_view text) {
  std::memset(out, ' ', width);
  std::memcpy(out, text.data(), std::min(width, text.size()));
}

// Writes the schema that names the master's columns FieldName1 to FieldName80.
bool WriteSchema(const FilePlaces& places, const char* fileName) {
  std::FILE* f = std::fopen(places.SystemDrive("Schema.ini").c_str(), "w");
  if (f == nullptr) return false;
  bool ok = std::fprintf(f, "[%s]\nColNameHeader = TRUE\nFormat = Delimited(|)\nCharacterSet = ANSI\n", fileName) > 0;
  for (int i = 1; i <= kSchemaColumns && ok; ++i) ok = std::fprintf(f, "Col%d=FieldName%d Char\n", i, i) > 0;
  // A schema cut short by a full disk would name the columns wrongly: that is
  // a schema that could not be written.
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

bool CanOpen(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// The start of a loader: schema, master check, connection. 0 or 1 to return
// now, or -1 to go on and query.
int Prepare(const FilePlaces& places, LogList& log, MessageBoxes& messageBoxes, CADODatabase& database,
            const char* fileName, const char* cantOpen) {
  if (!WriteSchema(places, fileName)) {
    log.LogLine("Cant Create Schema.ini file!!!");
    return 0;
  }
  if (!CanOpen(places.SystemDrive(fileName))) {
    log.LogLine(cantOpen);
    return 0;
  }
  if (!database.Open(kMasterConnectionString, "", "")) {
    messageBoxes.Show(database.LastErrorText());
    messageBoxes.Show(kConnectionFailed);
    return 1;
  }
  return -1;
}

void ReadField(CADORecordset& rows, const char* name, std::string& out) {
  if (!rows.ReadFieldText(name, out)) out.clear();
}

// Expiry texts of one loader run: the local start of 1980 once, and the
// texts of recent expiries again for the many rows that share them.
class ExpiryFormatter {
 public:
  ExpiryFormatter() {
    std::tm start{};
    start.tm_year = 80;
    start.tm_mday = 1;
    start.tm_isdst = -1;
    base_ = std::mktime(&start);
  }

  std::string_view Format(std::int64_t seconds) {
    Slot& slot = slots_[static_cast<std::uint64_t>(seconds) % kSlots];
    if (slot.size == 0 || slot.seconds != seconds) {
      slot.seconds = seconds;
      slot.size = Compute(base_, seconds, slot.text);
    }
    return std::string_view(slot.text, slot.size);
  }

  // An expiry the local calendar cannot place, or one outside the years 0 to
  // 9999 that four digits hold, has the text "00JAN0000": day 0, the month
  // that stands for any month out of range, year 0.
  static std::size_t Compute(std::time_t base, std::int64_t seconds, char* out) {
    std::tm tm{};
    bool known = false;
    if (base != static_cast<std::time_t>(-1) && seconds <= std::numeric_limits<std::int64_t>::max() / 2 &&
        seconds >= std::numeric_limits<std::int64_t>::min() / 2) {
      const std::time_t t = static_cast<std::time_t>(base + seconds);
      known = localtime_r(&t, &tm) != nullptr;
    }
    const std::int64_t year = static_cast<std::int64_t>(tm.tm_year) + 1900;  // tm_year may be near INT_MAX
    const bool fits = known && year >= 0 && year <= 9999;
    const int month = fits ? tm.tm_mon + 1 : 0;
    const char* name = month >= 1 && month <= 12 ? kMonths[month - 1] : kMonths[0];
    const int n = std::snprintf(out, kExpirySize, "%02d%.3s%04d", fits ? tm.tm_mday : 0, name,
                                fits ? static_cast<int>(year) : 0);
    return static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(kExpirySize) - 1));
  }

 private:
  struct Slot {
    std::int64_t seconds = 0;
    std::size_t size = 0;  // 0: empty
    char text[kExpirySize] = {};
  };
  static constexpr std::size_t kSlots = 61;

  std::time_t base_;
  Slot slots_[kSlots];
};

}  // namespace

int LoadSecurityMaster(const FilePlaces& places, LogList& log, MessageBoxes& messageBoxes, CADODatabase& database,
                       InstrumentMap& map) {
  const int early = Prepare(places, log, messageBoxes, database, "security.txt", "Cant Open security.txt file!!!");
  if (early >= 0) return early;

  CADORecordset rows(database);
  rows.Open(kSecurityQuery, CADORecordset::openQuery);
  std::string token, symbol, series, tokenKey;
  while (!rows.AtEnd()) {
    ReadField(rows, "FieldName1", token);
    ReadField(rows, "FieldName2", symbol);
    ReadField(rows, "FieldName3", series);

    char paddedSymbol[10];
    char paddedSeries[2];
    CopyPadded(paddedSymbol, sizeof paddedSymbol, symbol);
    CopyPadded(paddedSeries, sizeof paddedSeries, series);
    if (paddedSeries[0] == 'E' && paddedSeries[1] == 'Q') {
      char nameKey[16];
      std::snprintf(nameKey, sizeof nameKey, "%.10s%.2s", paddedSymbol, paddedSeries);
      char name[sizeof InstrumentRecord::name];
      std::snprintf(name, sizeof name, "EQ_%.10s_0_0_%.2s", paddedSymbol, paddedSeries);
      if (InstrumentRecord* record = map.NewRecord(LeadingInteger<std::int32_t>(token), name)) {
        tokenKey.assign("1,").append(token);
        map.Insert(nameKey, record);
        map.Insert(tokenKey, record);
      }
    }
    rows.NextRow();
  }
  rows.Close();
  database.Close();
  return 1;
}

int LoadContractMaster(const FilePlaces& places, LogList& log, MessageBoxes& messageBoxes, CADODatabase& database,
                       InstrumentMap& map) {
  const int early = Prepare(places, log, messageBoxes, database, "contract.txt", "Cant Open contract.txt file!!!");
  if (early >= 0) return early;

  CADORecordset rows(database);
  rows.Open(kContractQuery, CADORecordset::openQuery);
  ExpiryFormatter expiries;
  std::string token, instrument, symbol, expiry, strike, optionType, tokenKey;
  while (!rows.AtEnd()) {
    ReadField(rows, "FieldName1", token);
    ReadField(rows, "FieldName3", instrument);
    ReadField(rows, "FieldName4", symbol);
    ReadField(rows, "FieldName7", expiry);
    ReadField(rows, "FieldName8", strike);
    ReadField(rows, "FieldName9", optionType);

    char paddedInstrument[6];
    char paddedSymbol[10];
    char paddedOption[2];
    CopyPadded(paddedInstrument, sizeof paddedInstrument, instrument);
    CopyPadded(paddedSymbol, sizeof paddedSymbol, symbol);
    CopyPadded(paddedOption, sizeof paddedOption, optionType);
    if (paddedOption[0] == 'X' && paddedOption[1] == 'X') {
      const std::string_view expiryText = expiries.Format(LeadingInteger64(expiry));
      char name[sizeof InstrumentRecord::name];
      std::snprintf(name, sizeof name, "%.6s_%.10s_%.9s_%d_%.2s", paddedInstrument, paddedSymbol, expiryText.data(),
                    LeadingInteger<std::int32_t>(strike), paddedOption);
      if (InstrumentRecord* record = map.NewRecord(LeadingInteger<std::int32_t>(token), name)) {
        tokenKey.assign("2,").append(token);
        map.Insert(name, record);
        map.Insert(tokenKey, record);
      }
    }
    rows.NextRow();
  }
  rows.Close();
  database.Close();
  return 1;
}

}  // namespace fh
