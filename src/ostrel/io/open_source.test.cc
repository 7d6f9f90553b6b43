#include "ostrel/io/open_source.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "ostrel/io/test_sockets.h"
#include "ostrel/qssf/test_frames.h"

namespace ostrel::io {
namespace {

using testing::fd_count;
using testing::Listener;
using testing::settled_thread_count;
using testing::thread_count;
using testing::thread_count_settles_at;

std::string open_error(std::string_view source) {
  auto r = open_source(source);
  return r.ok() ? "opened" : r.error().message;
}

// A file of a stream header and two frames, removed at the end of the test.
struct TempStream {
  std::string path;
  TempStream() {
    char name[] = "/tmp/ostrel-open-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    path = name;
    qssf::testing::FrameSpec a, b;
    a.frame_id = 1;
    b.frame_id = 2;
    a.meas = b.meas = {1, 1, -1};
    a.rle = b.rle = {0x83};
    const auto bytes = qssf::testing::concat(
        {qssf::testing::stream_header(), qssf::testing::frame(a), qssf::testing::frame(b)});
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                std::streamsize(bytes.size()));
  }
  ~TempStream() { std::remove(path.c_str()); }
};

int frames_in(OpenedSource& opened) {
  qssf::ParsedFrame frame;
  int n = 0;
  for (;;) {
    auto r = opened.source->read_one_frame(frame);
    if (!r.ok() || *r == qssf::ReadStatus::EndOfStream) return n;
    ++n;
  }
}

TEST(OpenSource, SharedMemoryIsRefusedBeforeAnythingIsCreated) {
  const int threads = settled_thread_count();
  for (const char* s : {"shm://", "shm://ring0"}) {
    auto r = open_source(s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, OpenError::Kind::Unsupported);
    EXPECT_EQ(r.error().message, kShmRefusal);
  }
  EXPECT_TRUE(thread_count_settles_at(threads)) << thread_count();
  EXPECT_EQ(open_error("shm:/ring0"), "i/o error: No such file or directory (os error 2)");
}

TEST(OpenSource, EveryLeadingTcpPrefixIsRemoved) {
  Listener l = Listener::on(AF_INET);
  const std::string port = std::to_string(l.port);
  for (std::string prefix : {"tcp://", "tcp://tcp://", "tcp://tcp://tcp://"}) {
    auto r = open_source(prefix + "127.0.0.1:" + port);
    ASSERT_TRUE(r.ok()) << prefix << ": " << r.error().message;
    EXPECT_TRUE(l.accept());
  }
  EXPECT_EQ(open_error("tcp://"), "i/o error: invalid socket address");
  EXPECT_EQ(open_error("tcp://tcp://"), "i/o error: invalid socket address");
  EXPECT_EQ(open_error("tcp://localhost:99999"), "i/o error: invalid port value");
}

TEST(OpenSource, OtherSchemesAndCapitalsAreFilePaths) {
  for (const char* s : {"TCP://127.0.0.1:7000", "file:///nonexistent/x.qssf", "tcp:/127.0.0.1:1",
                        "", " tcp://127.0.0.1:1"})
    EXPECT_EQ(open_error(s), "i/o error: No such file or directory (os error 2)") << s;
}

TEST(OpenSource, AFileOpensAndItsFramesAreRead) {
  TempStream file;
  auto r = open_source(file.path);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(frames_in(*r), 2);
}

TEST(OpenSource, AFailedOpenLeavesNoThreadOrDescriptorBehind) {
  Listener refusing = Listener::on(AF_INET, false);
  const std::string refused = "tcp://127.0.0.1:" + std::to_string(refusing.port);
  const std::string refused_by_name = "tcp://localhost:" + std::to_string(refusing.port);
  const int threads = settled_thread_count();
  const int fds = fd_count();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(open_error(refused), "i/o error: Connection refused (os error 111)");
    EXPECT_EQ(open_error(refused_by_name), "i/o error: Connection refused (os error 111)");
    EXPECT_EQ(open_error("tcp://localhost:x"), "i/o error: invalid port value");
    EXPECT_EQ(open_error("/nonexistent/stream.qssf"),
              "i/o error: No such file or directory (os error 2)");
    EXPECT_EQ(open_error("/"), "opened");  // a directory opens; reading it fails later
  }
  EXPECT_TRUE(thread_count_settles_at(threads)) << thread_count();
  EXPECT_EQ(fd_count(), fds);
}

TEST(OpenSource, OpenAndCloseCyclesLeaveNothingBehind) {
  TempStream file;
  Listener l = Listener::on(AF_INET);
  const std::string tcp = "tcp://127.0.0.1:" + std::to_string(l.port);
  const int threads = settled_thread_count();
  const int fds = fd_count();
  for (int i = 0; i < 200; ++i) {
    auto f = open_source(file.path);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(frames_in(*f), 2);
    auto t = open_source(tcp);
    ASSERT_TRUE(t.ok());
    UniqueFd peer = l.accept();
    ASSERT_GT(::write(peer.get(), "\0", 1), 0);
    peer.reset();
    EXPECT_EQ(frames_in(*t), 0);  // one byte, then the end: not even a stream header
  }
  EXPECT_TRUE(thread_count_settles_at(threads)) << thread_count();
  EXPECT_EQ(fd_count(), fds);
}

}  // namespace
}  // namespace ostrel::io
