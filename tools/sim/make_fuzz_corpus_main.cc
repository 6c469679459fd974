// make-fuzz-corpus: writes seed inputs for the fuzz targets from the
// simulator: well-formed NSE and BSE datagrams of every kind it sends, of the
// classic wire and of today's (every form at its length, whole and trimmed to
// its records, and at lengths no form of its code has), a few malformed ones,
// and Bridge request streams. Sends nothing.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim/bse_feed.h"
#include "sim/junk.h"
#include "sim/ledger.h"
#include "sim/nse_feed.h"

#include "nse/byteorder.h"
#include "nse/layouts.h"

namespace {

void Write(const std::filesystem::path& dir, const std::string& name, const std::uint8_t* data, std::size_t n) {
  std::ofstream(dir / name, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                        static_cast<std::streamsize>(n));
}

// One of today's forms for the corpus: its record size (0: not a record list,
// nothing to trim) and a message length that no form of the code announces.
struct TodaysSeed {
  fh::sim::NseForm form;
  int recordSize;
  int wrongLength;
};

// Writes the message as one datagram, compressed and plain (a plain packet
// of today's may exceed 512 bytes): "segS-CODE-LENGTH[-WHAT]-lzo|-plain",
// LENGTH the header's MessageLength.
int WriteBoth(const std::filesystem::path& dir, int segment, const fh::sim::NseMessage& m, const std::string& what) {
  fh::sim::Lzo1zCompressor lzo;
  int files = 0;
  for (const bool plain : {false, true}) {
    fh::sim::DatagramBuilder d(fh::sim::NetIdOfSegment(segment), fh::sim::kMaxUdpPayload);
    if (!d.Add(m.plain(), !plain, lzo)) continue;
    const std::string name = "seg" + std::to_string(segment) + "-" + std::to_string(m.transactionCode()) + "-" +
                             std::to_string(fh::nse::WireLength(m.messageLength())) + what + (plain ? "-plain" : "-lzo");
    Write(dir, name, d.bytes().data(), d.bytes().size());
    ++files;
  }
  return files;
}

// Every form of today's wire of one segment (1 or 2): whole, trimmed to the
// records it carries, and cut to a length that announces no form; then a few
// datagrams of both generations mixed.
int WriteTodaysWire(const std::filesystem::path& dir, int segment) {
  namespace nse = fh::nse;
  using fh::sim::NseForm;
  const std::vector<TodaysSeed> seeds =
      segment == 1
          ? std::vector<TodaysSeed>{{NseForm{nse::code::kMarketWatch, true}, nse::cm::mwWide::kRecordSize, 450},
                                    {NseForm{nse::code::kMarketByPrice, true}, nse::cm::mbpWide::kRecordSize, 498},
                                    {NseForm{nse::code::kTicker18703}, nse::cm::ticker18703::kRecordSize, 300},
                                    {NseForm{nse::code::kSecurityUpdate18720}, 0, 200}}
          : std::vector<TodaysSeed>{{NseForm{nse::code::kMarketWatch, true}, nse::fo::mwWide::kRecordSize, 478},
                                    {NseForm{nse::code::kMarketWatch17201}, nse::fo::mw17201::kRecordSize, 402},
                                    {NseForm{nse::code::kTicker17202}, nse::fo::ticker17202::kRecordSize, 300},
                                    {NseForm{nse::code::kMarketByPrice17208}, nse::fo::mbp17208::kRecordSize, 398},
                                    {NseForm{nse::code::kSpread17211}, 0, 202},
                                    {NseForm{nse::code::kOpenInterest17130}, nse::fo::oi17130::kEntrySize, 300}};
  fh::sim::NseSegmentFeed feed(segment, 8, 42, fh::sim::Wire::kToday);
  int files = 0;
  for (const TodaysSeed& seed : seeds) {
    fh::sim::Effects fx;
    files += WriteBoth(dir, segment, feed.Make(seed.form, &fx), "");
    if (seed.recordSize > 0) {
      fh::sim::NseMessage m = feed.Make(seed.form, &fx);
      // 17130 counts its entries in ErrorCode and has them from 38; the rest
      // count records in NoOfRecords, records from 40.
      const bool entries = seed.form.code == nse::code::kOpenInterest17130;
      const int count = entries ? fh::LoadBe16(m.message() + nse::header::kErrorCode)
                                : fh::LoadBe16(m.message() + nse::records::kNoOfRecords);
      const int kept = std::max(1, count - 1);  // fewer than a whole message holds
      if (entries) {
        m.SetErrorCode(kept);
      } else {
        m.Put16(nse::records::kNoOfRecords, kept);
      }
      m.TrimTo((entries ? nse::fo::oi17130::kEntriesAt : nse::records::kRecordsAt) + kept * seed.recordSize);
      files += WriteBoth(dir, segment, m, "-trimmed");
    }
    fh::sim::NseMessage wrong = feed.Make(seed.form, &fx);
    wrong.TrimTo(seed.wrongLength);
    files += WriteBoth(dir, segment, wrong, "-unknown");
  }
  fh::sim::NseSegmentFeed mixed(segment, 8, 42, fh::sim::Wire::kMixed);
  fh::sim::NseDatagramSource source(mixed, 20, 0);
  for (int i = 0; i < 6; ++i) {
    const auto d = source.Next(nullptr, nullptr);
    Write(dir, "seg" + std::to_string(segment) + "-mixedwire-" + std::to_string(i), d.data(), d.size());
    ++files;
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help") {
    std::fprintf(stderr, "usage: make-fuzz-corpus DIR\nwrites DIR/fuzz_nse_framing, DIR/fuzz_bse_walk and "
                         "DIR/fuzz_bridge_requests seed files\n");
    return argc == 2 ? 0 : 2;
  }
  const std::filesystem::path root = argv[1];
  const auto nseDir = root / "fuzz_nse_framing";
  const auto bseDir = root / "fuzz_bse_walk";
  const auto reqDir = root / "fuzz_bridge_requests";
  for (const auto& d : {nseDir, bseDir, reqDir}) std::filesystem::create_directories(d);

  std::mt19937 rng(20261206);
  int files = 0;
  for (int segment = 1; segment <= 3; ++segment) {
    fh::sim::NseSegmentFeed feed(segment, 8, 42);
    // One datagram per code of the mix, compressed and plain, then mixed ones.
    for (int plain = 0; plain <= 1; ++plain) {
      fh::sim::Lzo1zCompressor lzo;
      for (int code : {7201, 7202, 7203, 7207, 7208, 7211, 7213, 7305, 7732, 7733, 7130, 6501, 9011, 7309}) {
        fh::sim::Effects fx;
        fh::sim::NseMessage m = feed.Make(code, &fx);
        fh::sim::DatagramBuilder d(fh::sim::NetIdOfSegment(segment));
        if (!d.Add(m.plain(), plain == 0, lzo)) continue;
        Write(nseDir, "seg" + std::to_string(segment) + "-" + std::to_string(code) + (plain ? "-plain" : "-lzo"),
              d.bytes().data(), d.bytes().size());
        ++files;
      }
    }
    fh::sim::NseDatagramSource source(feed, 20, 0);
    for (int i = 0; i < 6; ++i) {
      const auto d = source.Next(nullptr, nullptr);
      Write(nseDir, "seg" + std::to_string(segment) + "-mixed-" + std::to_string(i), d.data(), d.size());
      ++files;
    }
    for (int i = 0; i < 6; ++i) {
      const auto j = fh::sim::MakeNseJunk(feed, rng);
      Write(nseDir, "seg" + std::to_string(segment) + "-junk-" + std::to_string(i), j.data(), j.size());
      ++files;
    }
    if (segment != 3) files += WriteTodaysWire(nseDir, segment);
  }
  fh::sim::BseFeed bse(8, 42);
  fh::sim::bse::DatagramBuilder b;
  for (int i = 0; i < 12; ++i) {
    bse.NextDatagram(&b, nullptr);
    Write(bseDir, "bse-" + std::to_string(i), b.bytes().data(), b.bytes().size());
    ++files;
  }
  for (int i = 0; i < 8; ++i) {
    const auto j = fh::sim::MakeBseJunk(bse, rng);
    Write(bseDir, "bse-junk-" + std::to_string(i), j.data(), j.size());
    ++files;
  }
  const char* requests[] = {"1,2885|", "1,2885|2,43521|", "4,500112|5,1|6,2|", "x,12|", "-1,-5|", " +2, 38665|",
                            "2,99999999999|", "3,60003|3,60003|", "0,0|", "1,", "2,43521"};
  int k = 0;
  for (const char* r : requests) {
    Write(reqDir, "req-" + std::to_string(k++), reinterpret_cast<const std::uint8_t*>(r), std::string(r).size());
    ++files;
  }
  std::printf("make-fuzz-corpus: %d files under %s\n", files, root.c_str());
  return 0;
}
