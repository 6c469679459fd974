#include "nse/decoder_support.h"

#include <cstdio>

#include "feedstate/counter_grid.h"

namespace fh::nse {

void PacketStage::Build(const std::uint8_t* head, const std::uint8_t* work, int workLength, int packetLength) {
  packetLength = std::clamp(packetLength, forwarded::kHeaderSize, forwarded::kBufferSize);
  PrepareForwardedHeader(bytes_, head, segmentCode_, divisor_);
  SetForwardedLength(bytes_, packetLength);
  const int body = ForwardedBodyLength(packetLength);
  const int have = std::clamp(workLength - header::kBodyAt, 0, body);
  if (have > 0) std::memcpy(bytes_ + forwarded::kBodyAt, work + header::kBodyAt, static_cast<std::size_t>(have));
  if (have < body) std::memset(bytes_ + forwarded::kBodyAt + have, 0, static_cast<std::size_t>(body - have));
  length_ = packetLength;
}

DecoderCore::DecoderCore(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out, const Setup& setup)
    : context_(context),
      instruments_(instruments),
      out_(out),
      setup_(setup),
      records_(instruments, setup.segment, setup.cacheSlotsLog2),
      lines_(out, context.options.bcastDelta, setup.segment, setup.allDelta),
      packet_(setup.segmentCode, setup.divisor) {}

void DecoderCore::Start(const std::uint8_t* work, int length, std::int64_t receivedAtNs) {
  receivedAtNs_ = receivedAtNs;
  lines_.Clear();
  packet_.Clear();
  head_.Take(work, length);
  context_.metrics.CountMessage(setup_.segment, head_.TransactionCode());
}

void DecoderCore::Finish() {
  if (packet_.Length() > 0) out_.SendToBridges(setup_.segment, packet_.Length(), packet_.Bytes(), receivedAtNs_);
  lines_.Send();
}

void DecoderCore::CountAndShow(Counter& counter, int rowCode) {
  const std::uint32_t n = Bump(counter);
  if (rowCode != kNoRow && Counters()) context_.grid.SetCounterCell(rowCode, n, setup_.column);
}

void DecoderCore::ReportChange(std::int32_t token, std::int32_t value) {
  const int r = records_.UpdateLastValue(token, value);
  if (r == 0) return;
  char item[kChangeItemSize];
  const int n = FormatChangeItem(item, token, value);
  lines_.AppendChange(item, n, r == 1);
}

void DecoderCore::BuildPacket(const std::uint8_t* work, int workLength, int packetLength) {
  if (context_.options.ctcl.load(std::memory_order_relaxed) != 1 || !out_.BridgeConnected()) return;
  packet_.Build(head_.bytes, work, workLength, packetLength);
}

void DecoderCore::Show(const std::uint8_t* record, std::span<const ViewCell> view) {
  CounterGrid& grid = context_.grid;
  for (const ViewCell& cell : view) {
    const int index = cell.row * grid.Cols() + cell.col;
    if (cell.kind == ViewCell::kInt32) {
      grid.SetCellNumber(index, Load32(record + cell.at));
    } else if (cell.kind == ViewCell::kInt64) {
      grid.SetCellNumber(index, Load64(record + cell.at));
    } else {
      char text[64];
      const int n = std::snprintf(text, sizeof text, "%.0f", LoadDouble(record + cell.at));
      if (n >= 0) grid.SetCellText(index, std::string_view(text, std::min<std::size_t>(n, sizeof text - 1)));
    }
  }
}

void DecoderCore::UnknownForm() {
  const int code = head_.TransactionCode();
  context_.metrics.Of(setup_.segment).unknownForms.AddSerialised(code);
  for (int& logged : unknownFormsLogged_) {
    if (logged == code) return;
    if (logged == 0) {
      logged = code;
      context_.log.LogFormat("FH : %s : TrxCode %d of unknown form : MsgLen=%d, not decoded", setup_.name, code,
                             head_.MessageLength());
      return;
    }
  }
}

void DecoderCore::ReportCode(const char* what, int code, Order order) {
  char line[512];
  const int n = std::snprintf(line, sizeof line, "FH : FO : %s TrxCode EXG : Trx=%d Err=%d MsgLen=%d\n", what, code,
                              head_.ErrorCode(), head_.MessageLength());
  const std::string_view text(line, std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), sizeof line - 1));
  if (order == Order::kLogFirst) context_.log.LogLine(text);
  context_.files.WriteAndFlush(setup_.segment, SegmentFiles::kBpackCounterFile, text.data(), text.size());
  if (order == Order::kFileFirst) context_.log.LogLine(text);
}

}  // namespace fh::nse
