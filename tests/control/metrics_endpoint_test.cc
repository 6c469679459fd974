// The exposition of the feed's figures: every family by name and type, a
// distinct figure set in each and found under its labels, the histogram in
// seconds with cumulative buckets. Names, labels and texts are typed here from
// the metric table, not taken from the code's tables.
#include "control/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace fh {
namespace {

using prometheus::MetricType;

TEST(MetricsExposition, EveryFamilyHasItsTypeAndEveryFigureItsLabelledSample) {
  FeedMetrics m;
  m.Of(1).datagrams.Add(11);
  m.Of(4).bytes.Add(12);
  m.Of(2).kernelDrops.Add(13);
  m.Of(1).datagramsOver512.Add(38);
  m.Of(4).truncated.Add(39);
  m.Of(3).receiveBufferBytes.Set(212992);
  m.Of(0).datagrams.Add(14);
  m.Of(1).packetsFramed.Add(15);
  m.Of(2).decompressFailures.Add(16);
  m.Of(3).malformed[FeedMetrics::kShortHeader].Add(17);
  m.Of(4).malformed[FeedMetrics::kBadBlock].Add(18);
  for (int i = 0; i < 3; ++i) m.CountMessage(1, 7208);
  m.CountMessage(4, 2020);
  m.CountMessage(4, 40000);
  m.Of(2).unhandled.Add(19);
  m.Of(2).unknownForms.AddSerialised(17201);
  m.Of(3).forwardedPackets.Add(20);
  m.Of(1).forwardedBytes.Add(21);
  m.Of(0).recordedBytes.Add(22);
  m.Of(4).recordingFailures.Add(23);
  m.Of(2).recordingLost.Add(40);
  m.deltaAll.Add(24);
  m.deltaSubscribed.Add(25);
  m.udpFrames.Add(26);
  m.mcastFrames.Add(27);
  m.sendFailures[FeedMetrics::kOutMcast].Add(28);
  m.bridgeConnected.Set(1);
  m.bridgeAccepted.Add(29);
  m.bridgeRefused.Add(30);
  m.bridgeDrops[FeedMetrics::kDropClosed].Add(31);
  m.bridgeRequests.Add(32);
  m.bridgeRequestRecords.Add(33);
  m.bridgeQueueBytes.Set(34);
  m.bridgeQueueHighWater.Set(35);
  m.logLines.Add(36);
  m.logLinesNotShown.Add(37);
  m.tickToBridge.Observe(1'500);          // 1.5 us
  m.tickToBridge.Observe(5'000'000);      // 5 ms: exactly on a bound, counted at or below it
  m.tickToBridge.Observe(200'000'000);    // 200 ms: past the last bound

  const auto families = FeedMetricsCollectable(m, "7.8.9+abc").Collect();

  std::map<std::string, MetricType> want = {{"feedhandler_tick_to_bridge_seconds", MetricType::Histogram}};
  for (const char* name : {
      "feedhandler_received_datagrams_total", "feedhandler_received_bytes_total",
      "feedhandler_kernel_dropped_datagrams_total", "feedhandler_datagrams_over_512_bytes_total",
      "feedhandler_truncated_datagrams_total", "feedhandler_unknown_net_id_datagrams_total",
      "feedhandler_framed_packets_total", "feedhandler_decompress_failures_total", "feedhandler_malformed_total",
      "feedhandler_decoded_messages_total", "feedhandler_unhandled_messages_total",
      "feedhandler_unknown_form_messages_total",
      "feedhandler_forwarded_packets_total", "feedhandler_forwarded_bytes_total", "feedhandler_recorded_bytes_total",
      "feedhandler_recording_failures_total", "feedhandler_recording_lost_datagrams_total",
      "feedhandler_delta_datagrams_total", "feedhandler_output_frames_total",
      "feedhandler_send_failures_total", "feedhandler_bridge_connections_total", "feedhandler_bridge_drops_total",
      "feedhandler_bridge_requests_total", "feedhandler_bridge_request_records_total", "feedhandler_log_lines_total",
      "feedhandler_log_lines_not_shown_total"})
    want[name] = MetricType::Counter;
  for (const char* name : {
      "feedhandler_receive_buffer_bytes", "feedhandler_bridge_connected", "feedhandler_bridge_queue_bytes",
      "feedhandler_bridge_queue_high_water_bytes", "feedhandler_start_time_seconds", "feedhandler_uptime_seconds",
      "feedhandler_build_info"})
    want[name] = MetricType::Gauge;
  std::map<std::string, MetricType> types;
  for (const auto& f : families) {
    EXPECT_FALSE(f.help.empty()) << f.name;
    EXPECT_TRUE(types.emplace(f.name, f.type).second) << "twice: " << f.name;
  }
  EXPECT_EQ(types, want);

  // Samples as lines, each once; the comment lines are gone.
  std::map<std::string, int> lines;
  std::istringstream text(MetricsText(families));
  for (std::string line; std::getline(text, line);) {
    EXPECT_NE(line.rfind('#', 0), 0u) << line;
    ++lines[line];
  }
  const char* const kExpected[] = {
      R"(feedhandler_received_datagrams_total{segment="NCM"} 11)",
      R"(feedhandler_received_bytes_total{segment="BCM"} 12)",
      R"(feedhandler_kernel_dropped_datagrams_total{segment="NFO"} 13)",
      R"(feedhandler_datagrams_over_512_bytes_total{segment="NCM"} 38)",
      R"(feedhandler_truncated_datagrams_total{segment="BCM"} 39)",
      R"(feedhandler_receive_buffer_bytes{segment="NCD"} 212992)",
      R"(feedhandler_unknown_net_id_datagrams_total 14)",
      R"(feedhandler_framed_packets_total{segment="NCM"} 15)",
      R"(feedhandler_decompress_failures_total{segment="NFO"} 16)",
      R"(feedhandler_malformed_total{segment="NCD",reason="short_header"} 17)",
      R"(feedhandler_malformed_total{segment="BCM",reason="bad_block"} 18)",
      R"(feedhandler_malformed_total{segment="NCM",reason="too_short"} 0)",
      R"(feedhandler_malformed_total{segment="NCM",reason="runs_past"} 0)",
      R"(feedhandler_decoded_messages_total{segment="NCM",code="7208"} 3)",
      R"(feedhandler_decoded_messages_total{segment="BCM",code="2020"} 1)",
      R"(feedhandler_decoded_messages_total{segment="BCM",code="other"} 1)",
      R"(feedhandler_unhandled_messages_total{segment="NFO"} 19)",
      R"(feedhandler_unknown_form_messages_total{segment="NFO",code="17201"} 1)",
      R"(feedhandler_forwarded_packets_total{segment="NCD"} 20)",
      R"(feedhandler_forwarded_bytes_total{segment="NCM"} 21)",
      R"(feedhandler_recorded_bytes_total{segment="unknown"} 22)",
      R"(feedhandler_recording_failures_total{segment="BCM"} 23)",
      R"(feedhandler_recording_lost_datagrams_total{segment="NFO"} 40)",
      R"(feedhandler_delta_datagrams_total{port="2007"} 24)",
      R"(feedhandler_delta_datagrams_total{port="2017"} 25)",
      R"(feedhandler_output_frames_total{output="udp"} 26)",
      R"(feedhandler_output_frames_total{output="multicast"} 27)",
      R"(feedhandler_send_failures_total{output="multicast"} 28)",
      R"(feedhandler_bridge_connected 1)",
      R"(feedhandler_bridge_connections_total{result="accepted"} 29)",
      R"(feedhandler_bridge_connections_total{result="refused"} 30)",
      R"(feedhandler_bridge_drops_total{reason="closed"} 31)",
      R"(feedhandler_bridge_requests_total 32)",
      R"(feedhandler_bridge_request_records_total 33)",
      R"(feedhandler_bridge_queue_bytes 34)",
      R"(feedhandler_bridge_queue_high_water_bytes 35)",
      R"(feedhandler_log_lines_total 36)",
      R"(feedhandler_log_lines_not_shown_total 37)",
      R"(feedhandler_tick_to_bridge_seconds_count 3)",
      R"(feedhandler_tick_to_bridge_seconds_sum 0.2050015)",
      R"(feedhandler_tick_to_bridge_seconds_bucket{le="1e-06"} 0)",
      R"(feedhandler_tick_to_bridge_seconds_bucket{le="2e-06"} 1)",
      R"(feedhandler_tick_to_bridge_seconds_bucket{le="0.002"} 1)",
      R"(feedhandler_tick_to_bridge_seconds_bucket{le="0.005"} 2)",
      R"(feedhandler_tick_to_bridge_seconds_bucket{le="0.1"} 2)",
      R"(feedhandler_tick_to_bridge_seconds_bucket{le="+Inf"} 3)",
      R"(feedhandler_build_info{version="7.8.9+abc"} 1)",
  };
  for (const char* line : kExpected) EXPECT_EQ(lines[line], 1) << line;

  // Segments 1..4 per segment family (and "unknown" for the recording
  // figures); 4 x 4 malformed reasons; only the codes seen; 16 bounds + +Inf.
  std::map<std::string, std::size_t> samples;
  for (const auto& f : families) samples[f.name] = f.metric.size();
  EXPECT_EQ(samples["feedhandler_recorded_bytes_total"], 5u);
  EXPECT_EQ(samples["feedhandler_malformed_total"], 16u);
  EXPECT_EQ(samples["feedhandler_decoded_messages_total"], 3u);
  std::size_t buckets = 0;
  for (const auto& [line, n] : lines) buckets += line.rfind("feedhandler_tick_to_bridge_seconds_bucket", 0) == 0;
  EXPECT_EQ(buckets, 17u);
}

TEST(MetricsExposition, TheAddressIsADottedIpv4AddressAndAPort) {
  std::string address;
  int port = 0;
  for (const char* bad :
       {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1", ":9100", "localhost:9100", "127.0.0.1:91x", "127.0.0.1:"})
    EXPECT_FALSE(ParseMetricsAddress(bad, &address, &port)) << bad;
  ASSERT_TRUE(ParseMetricsAddress("0.0.0.0:65535", &address, &port));
  EXPECT_EQ(address + ":" + std::to_string(port), "0.0.0.0:65535");
}

}  // namespace
}  // namespace fh
