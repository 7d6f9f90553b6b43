#include "ostrel/io/tcp_source.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ostrel/io/test_sockets.h"
#include "ostrel/qssf/reader.h"
#include "ostrel/qssf/test_frames.h"

namespace ostrel::io {
namespace {

using qssf::testing::Bytes;
using qssf::testing::FrameSpec;
using testing::Listener;

class TcpSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto r = IoRuntime::create();
    ASSERT_TRUE(r.ok());
    runtime = std::move(r).value();
  }

  std::unique_ptr<TcpSource> connect(const std::string& address) {
    auto r = TcpSource::connect(*runtime, address);
    EXPECT_TRUE(r.ok()) << r.error().text;
    return r.ok() ? std::move(r).value() : nullptr;
  }

  std::string connect_error(const std::string& address) {
    auto r = TcpSource::connect(*runtime, address);
    return r.ok() ? "connected" : r.error().text;
  }

  std::unique_ptr<IoRuntime> runtime;
};

std::string v4(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

TEST_F(TcpSourceTest, NumericAddressesConnectWithoutALookup) {
  Listener l4 = Listener::on(AF_INET);
  Listener l6 = Listener::on(AF_INET6);
  ASSERT_TRUE(connect(v4(l4.port)));
  ASSERT_TRUE(connect("[::1]:" + std::to_string(l6.port)));
  EXPECT_TRUE(l4.accept());
  EXPECT_TRUE(l6.accept());
  EXPECT_EQ(runtime->blocking_thread_count(), 0u);
}

TEST_F(TcpSourceTest, HostNamesAreLookedUpOnTheBlockingPool) {
  Listener l = Listener::on(AF_INET);
  ASSERT_TRUE(connect("localhost:" + std::to_string(l.port)));
  EXPECT_TRUE(l.accept());
  EXPECT_EQ(runtime->blocking_thread_count(), 1u);
}

TEST_F(TcpSourceTest, AddressFailuresAreDescribed) {
  Listener refusing = Listener::on(AF_INET, /*listening=*/false);
  const struct {
    std::string address;
    std::string error;
  } cases[] = {
      {"", "invalid socket address"},
      {"localhost", "invalid socket address"},
      {"127.0.0.1", "invalid socket address"},
      {"localhost:99999", "invalid port value"},
      {"127.0.0.1:65536", "invalid port value"},
      {"localhost:", "invalid port value"},
      {"localhost:+80", "invalid port value"},
      {"localhost:http", "invalid port value"},
      {"[::1]:-1", "invalid port value"},
      {std::string("local\0host:80", 13), "invalid socket address"},
      {v4(refusing.port), "Connection refused (os error 111)"},
      {"localhost:" + std::to_string(refusing.port), "Connection refused (os error 111)"},
  };
  for (const auto& c : cases) EXPECT_EQ(connect_error(c.address), c.error) << c.address;
}

TEST_F(TcpSourceTest, CandidatesAreTriedInOrderUntilOneConnects) {
  Listener v4_listening = Listener::on(AF_INET);
  // The same port on ::1, bound but not listening: that attempt is refused.
  Listener v6_refusing;
  try {
    v6_refusing = Listener::on(AF_INET6, false, v4_listening.port);
  } catch (const std::exception&) {
    GTEST_SKIP() << "port taken on ::1";
  }
  const SocketAddress both[] = {SocketAddress::ipv6("::1", v4_listening.port),
                                SocketAddress::ipv4("127.0.0.1", v4_listening.port)};
  auto r = TcpSource::connect_any(*runtime, both);
  ASSERT_TRUE(r.ok()) << r.error().text;
  EXPECT_TRUE(v4_listening.accept());
}

TEST_F(TcpSourceTest, WhenEveryAttemptFailsTheLastErrorIsReported) {
  Listener refusing = Listener::on(AF_INET, false);
  SocketAddress truncated = SocketAddress::ipv4("127.0.0.1", refusing.port);
  truncated.len = 4;  // too short for any address: the attempt fails with EINVAL
  const SocketAddress refused = SocketAddress::ipv4("127.0.0.1", refusing.port);

  const SocketAddress refused_last[] = {truncated, refused};
  auto a = TcpSource::connect_any(*runtime, refused_last);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().text, "Connection refused (os error 111)");

  const SocketAddress invalid_last[] = {refused, truncated};
  auto b = TcpSource::connect_any(*runtime, invalid_last);
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().text, "Invalid argument (os error 22)");

  auto none = TcpSource::connect_any(*runtime, {});
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().text, "could not resolve to any address");
}

// Reads `n` bytes (or until the end) through the source, the way the frame reader does.
Bytes read_bytes(TcpSource& source, size_t n) {
  Bytes out;
  uint8_t buf[4096];
  while (out.size() < n) {
    auto got = source.read(buf);
    EXPECT_TRUE(got.ok());
    if (!got.ok() || *got == 0) break;
    out.insert(out.end(), buf, buf + *got);
  }
  return out;
}

TEST_F(TcpSourceTest, BytesSentLaterOnAnOpenConnectionAreWaitedFor) {
  Listener l = Listener::on(AF_INET);
  auto source = connect(v4(l.port));
  ASSERT_TRUE(source);
  std::jthread late([peer = l.accept()] {  // the socket closes when the thread is done
    for (const char* part : {"early", "late"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      ASSERT_GT(::send(peer.get(), part, std::strlen(part), 0), 0);
    }
  });
  EXPECT_EQ(read_bytes(*source, 9), Bytes({'e', 'a', 'r', 'l', 'y', 'l', 'a', 't', 'e'}));
}

TEST_F(TcpSourceTest, PeerCloseIsTheEndOfTheStreamEveryTime) {
  Listener l = Listener::on(AF_INET);
  auto source = connect(v4(l.port));
  ASSERT_TRUE(source);
  UniqueFd peer = l.accept();
  ASSERT_EQ(::send(peer.get(), "abc", 3, 0), 3);
  peer.reset();
  EXPECT_EQ(read_bytes(*source, 100), Bytes({'a', 'b', 'c'}));
  uint8_t buf[16];
  for (int i = 0; i < 2; ++i) {
    auto again = source->read(buf);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, 0u);
  }
}

TEST_F(TcpSourceTest, AResetIsAnIoErrorThenTheEnd) {
  Listener l = Listener::on(AF_INET);
  auto source = connect(v4(l.port));
  ASSERT_TRUE(source);
  std::jthread resetter([peer = l.accept()]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let the reader wait first
    const linger abort{1, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    peer.reset();
  });
  uint8_t buf[16];
  auto r = source->read(buf);
  resetter.join();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "i/o error: Connection reset by peer (os error 104)");
  auto after = source->read(buf);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(*after, 0u);
}

TEST_F(TcpSourceTest, NothingIsWrittenAndDestructionClosesTheSocket) {
  Listener l = Listener::on(AF_INET);
  auto source = connect(v4(l.port));
  ASSERT_TRUE(source);
  UniqueFd peer = l.accept();
  ASSERT_EQ(::send(peer.get(), "xyz", 3, 0), 3);
  EXPECT_EQ(read_bytes(*source, 3).size(), 3u);
  source.reset();
  char c;
  EXPECT_EQ(::recv(peer.get(), &c, 1, 0), 0);  // end of stream, with no byte before it
}

// Forwards reads and counts the bytes delivered, so the sender can wait for each to be taken.
class CountingSource final : public qssf::ByteSource {
 public:
  explicit CountingSource(qssf::ByteSource& inner) : inner_(inner) {}
  Result<size_t, qssf::QssfError> read(std::span<uint8_t> buf) override {
    auto r = inner_.read(buf);
    if (r.ok()) {
      ++reads;
      if (*r > 1) ++multi_byte_reads;
      delivered += *r;
    }
    return r;
  }
  std::atomic<size_t> delivered{0};
  size_t reads = 0;
  size_t multi_byte_reads = 0;

 private:
  qssf::ByteSource& inner_;
};

FrameSpec every_section(uint64_t id) {
  FrameSpec s;
  s.frame_id = id;
  s.round = uint32_t(id * 3);
  s.timestamp_ns = 1000 * id;
  s.rle = {0x82, 0x03, 0x81};
  s.meas = {1, -1, 1, 1, -1, 1, 1, 1, -1, 1, 1, 1};
  s.timing = std::vector<uint16_t>(12, uint16_t(40 * id));
  s.ancilla_bits = Bytes{0x5A, 0x0F};
  s.extensions = std::vector<std::pair<uint16_t, Bytes>>{
      {16, {uint8_t(id), 0, 0, 0, 0, 0, 0, 0}}, {1, {'o', 'k'}}};
  s.annotations = std::vector<std::pair<uint8_t, uint64_t>>{{7, id}, {9, ~id}};
  return s;
}

// Every byte of the stream arrives in its own segment, and the reader takes each one before the
// next is sent, so every cut point inside every header, section and trailer is met.
TEST_F(TcpSourceTest, FramesSplitAtEveryByteBoundaryAreReadWhole) {
  const Bytes stream = qssf::testing::concat({qssf::testing::stream_header(),
                                              qssf::testing::frame(every_section(1)),
                                              qssf::testing::frame(every_section(2)),
                                              qssf::testing::frame(every_section(5))});
  Listener l = Listener::on(AF_INET);
  auto tcp = connect(v4(l.port));
  ASSERT_TRUE(tcp);
  CountingSource counting(*tcp);
  // Owns the peer's socket: however the thread ends, the reader then meets the end of the stream.
  std::jthread sender([&, peer = l.accept()](std::stop_token stop) {
    for (size_t i = 0; i < stream.size(); ++i) {
      ASSERT_EQ(::send(peer.get(), &stream[i], 1, MSG_NOSIGNAL), 1);
      while (counting.delivered.load() < i + 1) {
        if (stop.stop_requested()) return;
        std::this_thread::yield();
      }
    }
  });

  qssf::FrameReader reader(counting, {});
  qssf::testing::MemorySource whole(stream);
  qssf::FrameReader expected_reader(whole, {});
  qssf::ParsedFrame got, expected;
  for (int i = 0; i < 3; ++i) {
    auto r = reader.next_frame(got);
    ASSERT_TRUE(r.ok()) << r.error().message();
    ASSERT_EQ(*r, qssf::ReadStatus::Frame);
    ASSERT_TRUE(expected_reader.next_frame(expected).ok());
    EXPECT_EQ(got.header.frame_id, expected.header.frame_id);
    EXPECT_EQ(got.header.timestamp_ns, expected.header.timestamp_ns);
    EXPECT_EQ(got.detector_rle, expected.detector_rle);
    EXPECT_EQ(got.meas_results, expected.meas_results);
    EXPECT_EQ(got.timing_offsets, expected.timing_offsets);
    EXPECT_EQ(got.ancilla_bits, expected.ancilla_bits);
    ASSERT_TRUE(got.extensions && got.annotations);
    EXPECT_EQ(got.extensions->observable_flips, expected.extensions->observable_flips);
    EXPECT_EQ(got.extensions->ext_text, "ok");
    ASSERT_EQ(got.annotations->size(), 2u);
    EXPECT_EQ((*got.annotations)[1].value, (*expected.annotations)[1].value);
  }
  auto end = reader.next_frame(got);
  sender.join();
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, qssf::ReadStatus::EndOfStream);
  EXPECT_EQ(counting.delivered.load(), stream.size());
  EXPECT_EQ(counting.multi_byte_reads, 0u);
}

}  // namespace
}  // namespace ostrel::io
