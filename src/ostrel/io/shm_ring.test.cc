#include "ostrel/io/shm_ring.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace ostrel::io {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

std::string unique_name(const char* what) { return std::string("ostrel-ut-") + what + "-" + std::to_string(getpid()); }

struct Unlink {
  std::string name;
  ~Unlink() { shm_unlink(("/" + name).c_str()); }
};

TEST(ShmRingName, AcceptsTheThreeSpellingsAndRefusesTheRest) {
  for (const char* good : {"ring0", "/ring0", "shm://ring0"}) EXPECT_EQ(*shm_ring_posix_name(good), "/ring0") << good;
  for (const char* bad : {"", "/", "shm://", ".", "..", "a/b", "//a", "a b", "ring\n", "shm:///"})
    EXPECT_FALSE(shm_ring_posix_name(bad).ok()) << bad;
  EXPECT_TRUE(shm_ring_posix_name(std::string(200, 'x')).ok());
  EXPECT_FALSE(shm_ring_posix_name(std::string(201, 'x')).ok());
}

// Bytes in pieces of random sizes, from a producer thread to a consumer reading into buffers of
// random sizes, through a ring small enough to wrap thousands of times: the same bytes arrive,
// in order, then the end of the stream.
// Every byte in order, whether written by copy or in place (writable/commit) and read by copy or
// in place (readable/skip), in pieces of any size that wrap anywhere.
class RingModes : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(RingModes, DeliversEveryByteInOrderAcrossWraps) {
  const auto [write_in_place, read_in_place] = GetParam();
  const std::string name = unique_name("wrap");
  Unlink cleanup{name};
  auto producer = ShmRing::create(name, 4096);
  ASSERT_TRUE(producer.ok()) << producer.error().message;
  auto consumer = ShmRing::open(name);
  ASSERT_TRUE(consumer.ok()) << consumer.error().message;
  std::vector<uint8_t> sent(3'000'000);
  std::mt19937 rng(3);
  for (auto& b : sent) b = uint8_t(rng());
  std::thread writer([&, write_in_place = write_in_place] {
    std::mt19937 sizes(4);
    for (size_t at = 0; at < sent.size();) {
      const size_t n = std::min<size_t>(sent.size() - at, 1 + sizes() % 4096);
      const std::span<uint8_t> room = write_in_place ? producer->writable(n) : std::span<uint8_t>();
      if (room.size() >= n) {
        std::copy_n(sent.data() + at, n, room.data());
        producer->commit(n);
      } else {
        ASSERT_TRUE(producer->publish({sent.data() + at, n}, nanoseconds(-1)).ok());
      }
      at += n;
    }
    producer->close_stream();
  });
  std::vector<uint8_t> got;
  std::vector<uint8_t> buf(5000);
  for (std::mt19937 sizes(5);;) {
    const size_t want = 1 + sizes() % buf.size();
    if (const std::span<const uint8_t> here = read_in_place ? consumer->readable() : std::span<const uint8_t>();
        !here.empty()) {
      const size_t n = std::min(want, here.size());
      got.insert(got.end(), here.begin(), here.begin() + long(n));
      consumer->skip(n);
    } else {
      auto n = consumer->consume({buf.data(), want}, nanoseconds(-1));
      ASSERT_TRUE(n.ok()) << n.error().message;
      if (*n == 0) break;
      got.insert(got.end(), buf.begin(), buf.begin() + long(*n));
    }
    consumer->release(got.size());
  }
  writer.join();
  EXPECT_TRUE(got == sent);
}

INSTANTIATE_TEST_SUITE_P(CopyOrInPlace, RingModes, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// A consumer asleep on the futex (past its spin) wakes for a late publish; a timed wait on an
// empty ring gives up with would_block, and so does a publish into a full one.
TEST(ShmRing, SleepersWakeAndTimedWaitsGiveUp) {
  const std::string name = unique_name("wake");
  Unlink cleanup{name};
  auto producer = ShmRing::create(name, 4096);
  auto consumer = ShmRing::open(name);
  ASSERT_TRUE(producer.ok() && consumer.ok());
  uint8_t byte[1];
  auto none = consumer->consume(byte, milliseconds(30));
  ASSERT_FALSE(none.ok());
  EXPECT_TRUE(none.error().would_block());
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(100));
    const uint8_t one[1] = {42};
    ASSERT_TRUE(producer->publish(one, nanoseconds(0)).ok());
  });
  auto got = consumer->consume(byte, nanoseconds(-1));
  late.join();
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, 1u);
  EXPECT_EQ(byte[0], 42);
  consumer->release(1);
  const std::vector<uint8_t> page(4096, 7);
  ASSERT_TRUE(producer->publish(page, nanoseconds(0)).ok());
  auto full = producer->publish(byte, milliseconds(30));
  ASSERT_FALSE(full.ok());
  EXPECT_TRUE(full.error().would_block());
}

// What a consumer copied out but did not release stays in the ring: the next consumer reads the
// prologue, then the bytes from the first one released by nobody; released bytes make room.
// A producer asleep on a full ring waits for a quarter of it to be released, not for the room
// its frame needs; yet a consumer that has read everything and waits itself, holding bytes it
// has not released, wakes it, and the frame that fits goes in.
TEST(ShmRing, AFullRingsProducerSleepsForAQuarterYetNeverStrandsAWaitingConsumer) {
  const std::string name = unique_name("quarter");
  Unlink cleanup{name};
  auto producer = ShmRing::create(name, 4096);
  auto consumer = ShmRing::open(name);
  ASSERT_TRUE(producer.ok() && consumer.ok());
  producer->set_spin(nanoseconds(0));
  const std::vector<uint8_t> frame(64, 5);
  for (int i = 0; i < 4096 / 64; ++i) ASSERT_TRUE(producer->publish(frame, nanoseconds(0)).ok());
  std::atomic<bool> started{false}, published{false};
  std::thread late([&] {
    started = true;
    ASSERT_TRUE(producer->publish(frame, nanoseconds(-1)).ok());
    published = true;
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(50));  // the producer found the ring full and sleeps
  std::vector<uint8_t> buf(4096);
  ASSERT_EQ(*consumer->consume({buf.data(), 128}, nanoseconds(-1)), 128u);
  consumer->release(128);  // room for the frame, short of a quarter: the producer sleeps on
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(published);
  ASSERT_EQ(*consumer->consume(buf, nanoseconds(-1)), 4096u - 128);
  // Everything read, 3968 bytes held: waiting for more wakes the producer first.
  auto more = consumer->consume(buf, std::chrono::seconds(5));
  late.join();
  ASSERT_TRUE(more.ok()) << more.error().message;
  EXPECT_EQ(*more, 64u);
  EXPECT_TRUE(published);
}

TEST(ShmRing, ANewConsumerStartsAtTheFirstUnreleasedByte) {
  const std::string name = unique_name("restart");
  Unlink cleanup{name};
  const std::vector<uint8_t> prologue = {'h', 'e', 'a', 'd'};
  auto producer = ShmRing::create(name, 4096, prologue);
  ASSERT_TRUE(producer.ok()) << producer.error().message;
  std::vector<uint8_t> sent(4096);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(i * 31 + 7);
  ASSERT_TRUE(producer->publish(sent, nanoseconds(0)).ok());
  std::vector<uint8_t> buf(4096);
  uint64_t released = 0;
  for (uint64_t step : {0, 1000, 3000, 96}) {
    auto consumer = ShmRing::open(name);
    ASSERT_TRUE(consumer.ok()) << consumer.error().message;
    EXPECT_TRUE(std::equal(prologue.begin(), prologue.end(), consumer->prologue().begin(), consumer->prologue().end()));
    EXPECT_EQ(consumer->start_position(), released);
    auto n = consumer->consume(buf, nanoseconds(0));
    ASSERT_TRUE(n.ok());
    ASSERT_EQ(*n, sent.size() - released);  // everything unreleased, copied out at once
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + long(*n), sent.begin() + long(released)));
    released += step;
    consumer->release(released);
    consumer->release(released - step / 2);  // backwards: ignored
  }
  // Released bytes are room again: exactly `released` of them.
  EXPECT_TRUE(producer->publish(std::vector<uint8_t>(released, 1), nanoseconds(0)).ok());
  EXPECT_TRUE(producer->publish(std::vector<uint8_t>(1, 1), nanoseconds(0)).error().would_block());
}

}  // namespace
}  // namespace ostrel::io
