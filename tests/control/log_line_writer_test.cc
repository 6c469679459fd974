#include "control/log_line_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace fh {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    ::close(read);
    ::close(write);
  }
  // What arrives until want has arrived, or 5 seconds pass.
  std::string ReadUntil(const std::string& want) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{read, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(read, chunk, sizeof chunk);
      if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
  }
};

TEST(LogLineWriter, CountsTheLinesThatFoundNoRoomAndSaysSoOnceCaughtUp) {
  Pipe pipe;
  LogLineWriter writer(pipe.write, nullptr, 4);
  MetricCounter notShown;
  writer.CountNotShownIn(&notShown);
  for (const char* line : {"l0", "l1", "l2", "l3", "l4", "l5"}) writer.Push(line);
  EXPECT_EQ(writer.NotShown(), 2u);
  EXPECT_EQ(notShown.Get(), 2u);
  writer.Start();
  EXPECT_EQ(pipe.ReadUntil("shown\n"), "l0\nl1\nl2\nl3\n2 log lines not shown\n");
  // One output line each: line ends at the end dropped, control bytes blank.
  writer.Push(std::string_view("cnet=\0 x\x01y\r\n", 12));
  EXPECT_EQ(pipe.ReadUntil("y\n"), "cnet=  x y\n");
  EXPECT_TRUE(writer.Drain(5s));
}

TEST(LogLineWriter, SaysLostLinesOnceBeforeTheLineThatFoundRoomAfterThem) {
  Pipe pipe;
  // A one-page pipe takes the writer's first batch (8 of these lines) and
  // holds it at its second, so the ring does not run empty until the test
  // reads.
  ASSERT_EQ(::fcntl(pipe.write, F_SETPIPE_SZ, 4096), 4096);
  LogLineWriter writer(pipe.write, nullptr, 32);
  const std::string wide(500, 'w');
  for (int i = 0; i < 34; ++i) writer.Push(wide);  // 2 find no room
  writer.Start();
  pollfd p{pipe.read, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  writer.Push("x");
  writer.Push("y");
  std::string want;
  for (int i = 0; i < 32; ++i) want += wide + "\n";
  EXPECT_EQ(pipe.ReadUntil("y\n"), want + "2 log lines not shown\nx\ny\n");
  EXPECT_TRUE(writer.Drain(5s));
}

}  // namespace
}  // namespace fh
