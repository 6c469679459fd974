// The packet counters grid: a small thread-safe grid of text cells.
//
// Thread safety: every member may be called from any thread; cells are fixed
// buffers guarded by one lock, so writing a counter allocates nothing.
// Version() grows with every change, so a window can repaint only when needed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace fh {

class CounterGrid {
 public:
  static constexpr int kMaxRows = 64;
  static constexpr int kMaxCols = 8;
  static constexpr int kCellSize = 48;  // longer texts are cut

  // Column 0 carries the code of the row (as text), row 0 the header.
  static constexpr int kRows = 31;
  static constexpr int kCols = 3;
  static constexpr int kCodeRows = 30;
  static constexpr const char* kCodes[kCodeRows] = {
      "0",    "1",    "1836", "2009", "6013", "6501", "6511", "6521", "6522", "6531",
      "6541", "6571", "6581", "6582", "7200", "7201", "7202", "7203", "7206", "7207",
      "7208", "7210", "7211", "7305", "7306", "7320", "9010", "9011", "1601", "1833"};

  // Column values of SetCounterCell.
  static constexpr int kCashColumn = 4;  // writes column 1, "NSE-CASH"
  static constexpr int kFoColumn = 2;    // writes column 2, "NSE-FO"

  CounterGrid() = default;

  // Lays out the grid: 31 rows, 3 columns, widths 500/1500/1500, the header
  // "Packet", "NSE-CASH", "NSE-FO", the thirty codes and "0" counts.
  void LayOut();

  void SetRows(int rows);
  void SetCols(int cols);
  int Rows() const;
  int Cols() const;
  void SetColumnWidth(int col, int width);
  int ColumnWidth(int col) const;

  // Cell text by linear index row * Cols() + col. Out of range: "" / ignored.
  std::string CellText(int index) const;
  std::string CellText(int row, int col) const { return CellText(row * Cols() + col); }
  void SetCellText(int index, std::string_view text);
  void SetCellNumber(int index, long long value);

  // Finds the first row from 1 down whose column-0 text read as a decimal
  // integer equals code, and writes value into column 1 (column == 4) or
  // column 2 (column == 2). No row, or another column value: nothing.
  void SetCounterCell(int code, long long value, int column);

  // Shown or hidden by the PktCounters check box.
  void SetVisible(bool visible);
  bool Visible() const;

  std::uint64_t Version() const { return version_.load(std::memory_order_acquire); }

 private:
  void WriteCellLocked(int index, std::string_view text);

  mutable std::mutex mutex_;
  int rows_ = 0;
  int cols_ = 0;
  bool visible_ = false;
  int widths_[kMaxCols] = {};
  char cells_[kMaxRows * kMaxCols][kCellSize] = {};
  int codes_[kMaxRows] = {};      // column-0 text read as an integer, per row
  bool hasCode_[kMaxRows] = {};   // whether column 0 reads as an integer
  std::atomic<std::uint64_t> version_{0};
};

}  // namespace fh
