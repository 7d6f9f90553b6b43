/* The shared-memory ring from C: nothing lost when it is full, whole frames only when the
 * producer is killed mid-stream, a consumer that closes or is killed losing no frame it was not
 * handed, and stale or foreign segments and bad names refused. */
#define _XOPEN_SOURCE 700
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "c_api/test_check.h"

enum { ANCILLAS = 64 };

static char ring[64];

/* Frame k's events, so that a reader can check every frame it gets whole. */
static void events_of(uint64_t k, uint8_t* events) {
  for (int a = 0; a < ANCILLAS; ++a) events[a] = (uint8_t)(((k * 7 + (uint64_t)a * 13) % 5) == 0);
}

static ostrel_status publish(ostrel_writer* w, uint64_t k) {
  uint8_t events[ANCILLAS];
  events_of(k, events);
  ostrel_frame f;
  memset(&f, 0, sizeof f);
  f.frame_id = k;
  f.ancilla_count = ANCILLAS;
  f.detector_events = events;
  f.has_observable_flips = 1;
  f.observable_flips = k * 0x9E3779B97F4A7C15ull;
  return ostrel_writer_write(w, &f);
}

/* Reads frames expected to be next, next+1, ...; returns the status that ended the reading. */
static ostrel_status read_in_order(ostrel_stream* s, uint64_t* next) {
  ostrel_frame f;
  ostrel_status status;
  uint8_t expected[ANCILLAS];
  while ((status = ostrel_stream_next(s, &f)) == OSTREL_OK) {
    events_of(*next, expected);
    CHECK(f.frame_id == *next && f.ancilla_count == ANCILLAS);
    CHECK(memcmp(f.detector_events, expected, ANCILLAS) == 0);
    CHECK(f.has_observable_flips && f.observable_flips == *next * 0x9E3779B97F4A7C15ull);
    ++*next;
  }
  return status;
}

/* A full ring refuses the frame (with a timeout of 0) and keeps every byte written before. */
static void full_ring_loses_nothing(void) {
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &w), OSTREL_OK);
  if (!w) return;
  uint64_t written = 0;
  ostrel_status status;
  while ((status = publish(w, written)) == OSTREL_OK) ++written;
  CHECK(status == OSTREL_E_WOULD_BLOCK && written > 10);
  CHECK_ERROR_HAS("is full");
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_OK);
  ostrel_stream* second = NULL;
  CHECK_STATUS(ostrel_shm_open(ring, &second), OSTREL_E_STATE);
  CHECK_ERROR_HAS("already has a consumer");
  ostrel_writer* other = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &other), OSTREL_E_STATE);
  CHECK_ERROR_HAS("already has a producer");
  /* Room again once the consumer reads: the refused frame goes in now. */
  ostrel_frame f;
  CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
  CHECK_STATUS(publish(w, written), OSTREL_OK);
  ++written;
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
  uint64_t next = 1;
  CHECK_STATUS(read_in_order(s, &next), OSTREL_END_OF_STREAM);
  CHECK(next == written);
  ostrel_stream_close(s);
}

/* A producer process publishing as fast as it can, killed at a random moment: the consumer
 * gets whole frames in order and then the producer's death as an error, never a torn frame. */
static void killed_producer(unsigned seed) {
  ostrel_shm_unlink(ring);
  pid_t child = fork();
  if (child == 0) {
    ostrel_writer* w = NULL;
    if (ostrel_shm_create(ring, 8192, NULL, -1, &w) != OSTREL_OK) _exit(3);
    for (uint64_t k = 0;; ++k)
      if (publish(w, k) != OSTREL_OK) _exit(4);
  }
  ostrel_stream* s = NULL;
  for (int attempt = 0; attempt < 1000 && ostrel_shm_open(ring, &s) != OSTREL_OK; ++attempt) {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, NULL);
  }
  CHECK(s != NULL);
  /* Half the runs read with a reader that sleeps at once rather than spinning first. */
  if (s && (seed & 1)) CHECK_STATUS(ostrel_stream_set_spin(s, 0), OSTREL_OK);
  uint64_t next = 0;
  ostrel_frame f;
  /* Read a while, so that the kill lands with the ring in some random state. */
  const int before = 100 + (int)(seed % 5000);
  for (int i = 0; i < before && s; ++i) {
    CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
    CHECK(f.frame_id == next++);
  }
  kill(child, SIGKILL);
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  CHECK(WIFSIGNALED(wstatus));
  if (!s) return;
  CHECK_STATUS(read_in_order(s, &next), OSTREL_E_IO);
  CHECK_ERROR_HAS("ended without closing the stream");
  ostrel_stream_close(s);
  /* What is left is stale: refused to a consumer, taken over by a new producer. */
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_E_IO);
  CHECK_ERROR_HAS("stale");
}

/* Consumers one after another on one ring, each closing after `take` frames: the next starts at
 * the next frame, whole, whatever the first had already copied out of the ring. */
static void closed_consumer_loses_nothing(void) {
  enum { FRAMES = 300 };
  static const int takes[] = {0, 1, 7, 150, FRAMES};
  for (size_t t = 0; t < sizeof takes / sizeof takes[0]; ++t) {
    ostrel_writer* w = NULL;
    CHECK_STATUS(ostrel_shm_create(ring, 1 << 16, NULL, 0, &w), OSTREL_OK);
    if (!w) return;
    for (uint64_t k = 0; k < FRAMES; ++k) CHECK_STATUS(publish(w, k), OSTREL_OK);
    /* Half the runs end the stream first: the end then comes after the last frame. */
    if (t % 2) CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
    uint64_t next = 0;
    ostrel_frame f;
    for (int consumer = 0; consumer < 3 && next < FRAMES; ++consumer) {
      ostrel_stream* s = NULL;
      CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_OK);
      if (!s) break;
      const uint64_t stop = consumer == 2 ? FRAMES : next + (uint64_t)takes[t];
      while (next < stop && ostrel_stream_next(s, &f) == OSTREL_OK) {
        CHECK(f.frame_id == next && f.ancilla_count == ANCILLAS);
        ++next;
      }
      ostrel_stream_close(s);
    }
    CHECK(next == FRAMES);
    if (!(t % 2)) CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
    ostrel_stream* last = NULL;
    CHECK_STATUS(ostrel_shm_open(ring, &last), OSTREL_OK);
    if (last) {
      CHECK_STATUS(ostrel_stream_next(last, &f), OSTREL_END_OF_STREAM);
      ostrel_stream_close(last);
    }
    ostrel_shm_unlink(ring);
  }
}

/* A consumer process killed while it reads as fast as it can: it reports each frame id it is
 * handed down a pipe, so the next consumer must start at the frame after the last reported one
 * (or the one after that, handed but not yet reported when the kill landed), and read the rest
 * whole and in order. */
static void killed_consumer_loses_nothing(unsigned seed) {
  enum { FRAMES = 20000 };
  ostrel_shm_unlink(ring);
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 1 << 22, NULL, 0, &w), OSTREL_OK);
  if (!w) return;
  for (uint64_t k = 0; k < FRAMES; ++k) CHECK_STATUS(publish(w, k), OSTREL_OK);
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
  int ids[2];
  CHECK(pipe(ids) == 0);
  pid_t child = fork();
  if (child == 0) {
    close(ids[0]);
    ostrel_stream* s = NULL;
    if (ostrel_shm_open(ring, &s) != OSTREL_OK) _exit(3);
    ostrel_frame f;
    while (ostrel_stream_next(s, &f) == OSTREL_OK)
      if (write(ids[1], &f.frame_id, sizeof f.frame_id) != (ssize_t)sizeof f.frame_id) _exit(4);
    pause();
    _exit(0);
  }
  close(ids[1]);
  /* Wait for the first report, then let it run a random while. */
  uint64_t id = 0;
  int64_t last = -1;
  if (read(ids[0], &id, sizeof id) == (ssize_t)sizeof id) last = (int64_t)id;
  struct timespec pause_for = {0, (long)(seed % 3000) * 1000};
  nanosleep(&pause_for, NULL);
  kill(child, SIGKILL);
  waitpid(child, NULL, 0);
  while (read(ids[0], &id, sizeof id) == (ssize_t)sizeof id) {
    CHECK((int64_t)id == last + 1);
    last = (int64_t)id;
  }
  close(ids[0]);
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_OK);
  if (!s) return;
  ostrel_frame f;
  const ostrel_status status = ostrel_stream_next(s, &f);
  if (status == OSTREL_OK) {
    CHECK((int64_t)f.frame_id == last + 1 || (int64_t)f.frame_id == last + 2);
    uint64_t next = f.frame_id + 1;
    CHECK_STATUS(read_in_order(s, &next), OSTREL_END_OF_STREAM);
    CHECK(next == FRAMES);
  } else {
    CHECK(status == OSTREL_END_OF_STREAM && last + 2 >= FRAMES);
  }
  ostrel_stream_close(s);
  ostrel_shm_unlink(ring);
}

/* A producer process that forked a helper before it was killed: the helper, alive, keeps neither
 * the producer's lock (the consumer learns of the death, a new producer may take over) nor the
 * use of the producer's side (writing gives OSTREL_E_STATE, closing does not end the stream). */
static void forked_helper_keeps_no_lock(void) {
  ostrel_shm_unlink(ring);
  int report[2];
  CHECK(pipe(report) == 0);
  pid_t producer = fork();
  if (producer == 0) {
    close(report[0]);
    ostrel_writer* w = NULL;
    if (ostrel_shm_create(ring, 1 << 16, NULL, -1, &w) != OSTREL_OK) _exit(3);
    for (uint64_t k = 0; k < 3; ++k)
      if (publish(w, k) != OSTREL_OK) _exit(4);
    int helper_said[2];
    if (pipe(helper_said) != 0) _exit(5);
    pid_t helper = fork();
    if (helper == 0) {
      const char verdict = publish(w, 99) == OSTREL_E_STATE && ostrel_writer_close(w) == OSTREL_OK ? 'y' : 'n';
      if (write(helper_said[1], &verdict, 1) != 1) _exit(6);
      for (;;) pause();
    }
    char verdict = 'n';
    if (read(helper_said[0], &verdict, 1) != 1) _exit(7);
    /* The helper's close did not end the stream: the producer publishes on. */
    if (publish(w, 3) != OSTREL_OK) _exit(8);
    if (write(report[1], &verdict, 1) != 1 || write(report[1], &helper, sizeof helper) != (ssize_t)sizeof helper)
      _exit(9);
    for (;;) pause();
  }
  close(report[1]);
  char verdict = 0;
  pid_t helper = -1;
  CHECK(read(report[0], &verdict, 1) == 1 && read(report[0], &helper, sizeof helper) == (ssize_t)sizeof helper);
  close(report[0]);
  CHECK(verdict == 'y');
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_OK);
  if (s) {
    /* A wait the helper kept going would end the test here: SIGALRM's default is to terminate. */
    alarm(20);
    uint64_t next = 0;
    ostrel_frame f;
    for (int i = 0; i < 4; ++i) {
      CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
      CHECK(f.frame_id == next++);
    }
    kill(producer, SIGKILL);
    waitpid(producer, NULL, 0);
    CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_E_IO);
    CHECK_ERROR_HAS("ended without closing the stream");
    alarm(0);
    ostrel_stream_close(s);
  }
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &w), OSTREL_OK);
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
  if (helper > 0) kill(helper, SIGKILL);
  ostrel_shm_unlink(ring);
}

static void foreign_segments_refused(void) {
  /* A segment that is not a ring: wrong magic. */
  char posix[80];
  snprintf(posix, sizeof posix, "/%s", ring);
  shm_unlink(posix);
  int fd = shm_open(posix, O_RDWR | O_CREAT | O_EXCL, 0600);
  CHECK(fd >= 0 && ftruncate(fd, 8192) == 0);
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_E_IO);
  CHECK_ERROR_HAS("not a ring (wrong magic)");
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &w), OSTREL_E_IO);
  CHECK_ERROR_HAS("exists and is not a ring");
  close(fd);
  shm_unlink(posix);

  /* A ring from another version, then one whose size does not match its header. */
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &w), OSTREL_OK);
  fd = shm_open(posix, O_RDWR, 0);
  uint32_t* version = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  CHECK(version != MAP_FAILED);
  version[2] = 99; /* after the 8-byte magic */
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_E_IO);
  CHECK_ERROR_HAS("unsupported ring version 99");
  version[2] = 2;
  CHECK(ftruncate(fd, 4096 + 8192) == 0);
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_E_IO);
  CHECK_ERROR_HAS("does not match its header");
  munmap(version, 4096);
  close(fd);
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);

  static const char* const bad[] = {"", "a/b", "..", "shm://", "name with space", "//x", "ring\nforged line"};
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    CHECK_STATUS(ostrel_shm_open(bad[i], &s), OSTREL_E_INVALID_ARGUMENT);
    CHECK_ERROR_HAS("invalid ring name");
    CHECK(strchr(ostrel_last_error_message(), '\n') == NULL);
    CHECK_STATUS(ostrel_shm_create(bad[i], 4096, NULL, 0, &w), OSTREL_E_INVALID_ARGUMENT);
  }
  CHECK_ERROR_HAS("'ring\\nforged line'");
  CHECK_STATUS(ostrel_shm_create(ring, (1ull << 34) + 1, NULL, 0, &w), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("at most 17179869184 bytes");
  CHECK_STATUS(ostrel_shm_create(ring, 1ull << 34, NULL, 0, NULL), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("out is NULL");
  CHECK_STATUS(ostrel_stream_set_spin(NULL, 0), OSTREL_E_INVALID_ARGUMENT);
  CHECK_STATUS(ostrel_shm_open("shm://ostrel-no-such-ring", &s), OSTREL_E_IO);
  CHECK_ERROR_HAS("No such file or directory (os error 2)");
}

/* Timeouts on both sides, the writer's wait for its reader, and a read position someone else
 * wrote being reported as what it is. */
static void timeouts_and_positions(void) {
  ostrel_shm_unlink(ring);
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &w), OSTREL_OK);
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_OK);
  if (!w || !s) return;
  ostrel_frame f;
  static const int64_t timeouts[] = {0, 200000, 3000000};
  for (size_t t = 0; t < sizeof timeouts / sizeof timeouts[0]; ++t) {
    CHECK_STATUS(ostrel_stream_set_timeout(s, timeouts[t]), OSTREL_OK);
    CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_E_TIMEOUT);
    CHECK_ERROR_HAS("timeout");
    /* Not final: a frame published now is read by the next call. */
    CHECK_STATUS(publish(w, t), OSTREL_OK);
    CHECK_STATUS(ostrel_writer_wait_read(w, 0), OSTREL_E_TIMEOUT);
    CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
    CHECK(f.frame_id == t);
    CHECK_STATUS(ostrel_writer_wait_read(w, 0), OSTREL_OK);
  }
  CHECK_STATUS(ostrel_stream_set_timeout(NULL, 0), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("stream is NULL");

  /* A read position moved past the write position by someone else. */
  ostrel_stream_close(s);
  char posix[80];
  snprintf(posix, sizeof posix, "/%s", ring);
  int fd = shm_open(posix, O_RDWR, 0);
  uint64_t* head = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  CHECK(head != MAP_FAILED);
  if (head != MAP_FAILED) {
    const uint64_t written = head[64 / 8], read = head[128 / 8];
    CHECK(written == read && written > 0);
    head[128 / 8] = written + (1ull << 40);
    CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_E_IO);
    CHECK_ERROR_HAS("corrupt: its read position");
    /* The producer, needing room, looks at it too. */
    for (uint64_t k = 100; publish(w, k) == OSTREL_OK; ++k) {
    }
    CHECK_ERROR_HAS("corrupt: its read position");
    munmap(head, 4096);
  }
  close(fd);
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
  ostrel_shm_unlink(ring);
}

/* Bursts: what goes in is what `written` says, whole and in order, whether the burst ends
 * complete, at a refused frame, or at a full ring (frames 0..49 written first, then bursts). */
static void bursts(void) {
  enum { BURST = 120 };
  static uint8_t events[BURST][ANCILLAS];
  static ostrel_frame frames[BURST];
  static const struct {
    uint64_t capacity;
    size_t bad; /* index of a frame whose id repeats its predecessor's, or BURST */
    ostrel_status status;
  } cases[] = {{1 << 16, BURST, OSTREL_OK}, {1 << 16, 77, OSTREL_E_INVALID_ARGUMENT}, {4096, BURST, OSTREL_E_WOULD_BLOCK}};
  for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
    ostrel_shm_unlink(ring);
    ostrel_writer* w = NULL;
    CHECK_STATUS(ostrel_shm_create(ring, cases[c].capacity, NULL, 0, &w), OSTREL_OK);
    ostrel_stream* s = NULL;
    CHECK_STATUS(ostrel_shm_open(ring, &s), OSTREL_OK);
    if (!w || !s) return;
    ostrel_frame f;
    for (uint64_t k = 0; k < 50; ++k) {
      CHECK_STATUS(publish(w, k), OSTREL_OK);
      CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
    }
    uint64_t next = 50;
    for (size_t k = 0; k < BURST; ++k) {
      const uint64_t id = 50 + (k == cases[c].bad ? k - 1 : k);
      events_of(id, events[k]);
      memset(&frames[k], 0, sizeof frames[k]);
      frames[k].frame_id = id;
      frames[k].ancilla_count = ANCILLAS;
      frames[k].detector_events = events[k];
      frames[k].has_observable_flips = 1;
      frames[k].observable_flips = id * 0x9E3779B97F4A7C15ull;
    }
    size_t written = 999;
    CHECK_STATUS(ostrel_writer_write_frames(w, frames, BURST, &written), cases[c].status);
    if (cases[c].status == OSTREL_OK) CHECK(written == BURST);
    if (cases[c].status == OSTREL_E_INVALID_ARGUMENT) CHECK(written == cases[c].bad);
    if (cases[c].status == OSTREL_E_WOULD_BLOCK) CHECK(written > 0 && written < BURST);
    CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
    CHECK_STATUS(read_in_order(s, &next), OSTREL_END_OF_STREAM);
    CHECK(next == 50 + written);
    ostrel_stream_close(s);
  }
  ostrel_shm_unlink(ring);
}

/* A frame longer than the ring can never be published whole: refused, not split. */
static void oversized_frame_refused(void) {
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_shm_create(ring, 4096, NULL, 0, &w), OSTREL_OK);
  static uint8_t events[5000];
  ostrel_frame f;
  memset(&f, 0, sizeof f);
  f.ancilla_count = 5000;
  f.detector_events = events;
  CHECK_STATUS(ostrel_writer_write(w, &f), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("does not fit");
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
}

int main(void) {
  snprintf(ring, sizeof ring, "ostrel-c-test-%ld", (long)getpid());
  full_ring_loses_nothing();
  oversized_frame_refused();
  timeouts_and_positions();
  bursts();
  srand((unsigned)time(NULL));
  for (int run = 0; run < 8; ++run) killed_producer((unsigned)rand());
  closed_consumer_loses_nothing();
  forked_helper_keeps_no_lock();
  for (int run = 0; run < 8; ++run) killed_consumer_loses_nothing((unsigned)rand());
  foreign_segments_refused();
  ostrel_shm_unlink(ring);
  return TEST_RESULT();
}
