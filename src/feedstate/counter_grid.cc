#include "feedstate/counter_grid.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace fh {
namespace {

// Reads text as a decimal integer the way the grid's owner would: leading
// blanks, an optional sign, digits; anything else makes it no number.
bool ReadDecimal(const char* text, int* out) {
  while (*text == ' ') ++text;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

void CounterGrid::LayOut() {
  SetRows(kRows);
  SetCols(kCols);
  SetColumnWidth(0, 500);
  SetColumnWidth(1, 1500);
  SetColumnWidth(2, 1500);
  SetCellText(0, "Packet");
  SetCellText(1, "NSE-CASH");
  SetCellText(2, "NSE-FO");
  for (int r = 1; r <= kCodeRows; ++r) {
    SetCellText(r * kCols, kCodes[r - 1]);
    SetCellText(r * kCols + 1, "0");
    SetCellText(r * kCols + 2, "0");
  }
}

void CounterGrid::SetRows(int rows) {
  std::lock_guard lock(mutex_);
  rows_ = std::clamp(rows, 0, kMaxRows);
  version_.fetch_add(1, std::memory_order_release);
}

void CounterGrid::SetCols(int cols) {
  std::lock_guard lock(mutex_);
  cols_ = std::clamp(cols, 0, kMaxCols);
  version_.fetch_add(1, std::memory_order_release);
}

int CounterGrid::Rows() const {
  std::lock_guard lock(mutex_);
  return rows_;
}

int CounterGrid::Cols() const {
  std::lock_guard lock(mutex_);
  return cols_;
}

void CounterGrid::SetColumnWidth(int col, int width) {
  std::lock_guard lock(mutex_);
  if (col < 0 || col >= kMaxCols) return;
  widths_[col] = width;
  version_.fetch_add(1, std::memory_order_release);
}

int CounterGrid::ColumnWidth(int col) const {
  std::lock_guard lock(mutex_);
  return col >= 0 && col < kMaxCols ? widths_[col] : 0;
}

std::string CounterGrid::CellText(int index) const {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= rows_ * cols_) return {};
  return std::string(cells_[index]);
}

void CounterGrid::WriteCellLocked(int index, std::string_view text) {
  if (index < 0 || index >= rows_ * cols_) return;
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(kCellSize - 1));
  std::memcpy(cells_[index], text.data(), n);
  cells_[index][n] = '\0';
  if (cols_ > 0 && index % cols_ == 0) {
    const int row = index / cols_;
    hasCode_[row] = ReadDecimal(cells_[index], &codes_[row]);
  }
  version_.fetch_add(1, std::memory_order_release);
}

void CounterGrid::SetCellText(int index, std::string_view text) {
  std::lock_guard lock(mutex_);
  WriteCellLocked(index, text);
}

void CounterGrid::SetCellNumber(int index, long long value) {
  char text[24];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  (void)ec;
  SetCellText(index, std::string_view(text, static_cast<std::size_t>(end - text)));
}

void CounterGrid::SetCounterCell(int code, long long value, int column) {
  int col;
  if (column == kCashColumn) {
    col = 1;
  } else if (column == kFoColumn) {
    col = 2;
  } else {
    return;
  }
  char text[24];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  (void)ec;
  std::lock_guard lock(mutex_);
  if (col >= cols_) return;
  for (int row = 1; row < rows_; ++row) {
    if (hasCode_[row] && codes_[row] == code) {
      WriteCellLocked(row * cols_ + col, std::string_view(text, static_cast<std::size_t>(end - text)));
      return;
    }
  }
}

void CounterGrid::SetVisible(bool visible) {
  std::lock_guard lock(mutex_);
  visible_ = visible;
  version_.fetch_add(1, std::memory_order_release);
}

bool CounterGrid::Visible() const {
  std::lock_guard lock(mutex_);
  return visible_;
}

}  // namespace fh
