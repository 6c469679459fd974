// make-fuzz-corpus: writes seed inputs for the fuzz targets from the
// simulator: well-formed NSE and BSE datagrams of every kind it sends, a few
// malformed ones, and Bridge request streams. Sends nothing.
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

namespace {

void Write(const std::filesystem::path& dir, const std::string& name, const std::uint8_t* data, std::size_t n) {
  std::ofstream(dir / name, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                        static_cast<std::streamsize>(n));
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
