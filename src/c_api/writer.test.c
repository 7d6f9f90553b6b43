#define _XOPEN_SOURCE 700
/* Writers whose reader has gone: a pipe and a socket give OSTREL_E_IO "Broken pipe" and leave
 * the process alive (SIGPIPE keeps its default action, which would kill it), the signal mask as
 * it was and no SIGPIPE of the library's left pending; one the caller had pending stays. */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "c_api/test_check.h"

static int pipe_pending(void) {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

static int pipe_blocked(void) {
  sigset_t mask;
  sigprocmask(SIG_BLOCK, NULL, &mask);
  return sigismember(&mask, SIGPIPE) == 1;
}

static ostrel_status write_one(ostrel_writer* w) {
  static uint64_t next_id = 0;
  uint8_t events[16] = {1, 0, 1};
  ostrel_frame f;
  memset(&f, 0, sizeof f);
  f.frame_id = next_id++;
  f.ancilla_count = 16;
  f.detector_events = events;
  return ostrel_writer_write(w, &f);
}

/* ends[0] is read, ends[1] written; the reader closes after the writer opens (gone_first = 0) or
 * before (1). */
static void reader_gone(int ends[2], int gone_first) {
  ostrel_writer* w = NULL;
  if (gone_first) close(ends[0]);
  const ostrel_status opened = ostrel_writer_open_fd(ends[1], NULL, &w);
  close(ends[1]);
  if (gone_first) {
    /* The stream header is written at once: that is where the reader's absence shows. */
    CHECK_STATUS(opened, OSTREL_E_IO);
    CHECK_ERROR_HAS("Broken pipe");
    CHECK(w == NULL);
  } else {
    CHECK_STATUS(opened, OSTREL_OK);
    CHECK_STATUS(write_one(w), OSTREL_OK);
    close(ends[0]);
    CHECK_STATUS(write_one(w), OSTREL_E_IO);
    CHECK_ERROR_HAS("Broken pipe (os error 32)");
    CHECK_STATUS(write_one(w), OSTREL_E_IO);
    CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
  }
  CHECK(!pipe_pending() && !pipe_blocked());
}

/* Frame ids that do not rise are refused before anything is written: what is read back is the
 * rising ids alone. */
static void ids_must_rise(void) {
  char path[] = "/tmp/ostrel-c-writer-XXXXXX";
  int fd = mkstemp(path);
  CHECK(fd >= 0);
  close(fd);
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_writer_open_file(path, NULL, &w), OSTREL_OK);
  static const struct {
    uint64_t id;
    ostrel_status status;
  } writes[] = {{5, OSTREL_OK}, {5, OSTREL_E_INVALID_ARGUMENT}, {4, OSTREL_E_INVALID_ARGUMENT},
                {6, OSTREL_OK}, {0, OSTREL_E_INVALID_ARGUMENT}, {UINT64_MAX, OSTREL_OK}};
  uint8_t events[4] = {1};
  for (size_t i = 0; i < sizeof writes / sizeof writes[0] && w; ++i) {
    ostrel_frame f;
    memset(&f, 0, sizeof f);
    f.frame_id = writes[i].id;
    f.ancilla_count = 4;
    f.detector_events = events;
    CHECK_STATUS(ostrel_writer_write(w, &f), writes[i].status);
  }
  CHECK_ERROR_HAS("frame_id must rise: got 0 after 6");
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_stream_open(path, &s), OSTREL_OK);
  static const uint64_t expected[] = {5, 6, UINT64_MAX};
  ostrel_frame f;
  for (size_t i = 0; i < 3 && s; ++i) {
    CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
    CHECK(f.frame_id == expected[i]);
  }
  if (s) CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_END_OF_STREAM);
  ostrel_stream_close(s);
  /* A path the system refuses is named in the message. */
  CHECK_STATUS(ostrel_writer_open_file("/nonexistent/dir/out.qssf", NULL, &w), OSTREL_E_IO);
  CHECK_ERROR_HAS("cannot create '/nonexistent/dir/out.qssf': No such file or directory");
  unlink(path);
}

int main(void) {
  ids_must_rise();
  for (int gone_first = 0; gone_first < 2; ++gone_first) {
    int ends[2];
    CHECK(pipe(ends) == 0);
    reader_gone(ends, gone_first);
    CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    reader_gone(ends, gone_first);
  }

  /* A SIGPIPE of the caller's own, blocked and pending, is still pending afterwards. */
  sigset_t pipe_only, old;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe_only, &old);
  raise(SIGPIPE);
  int ends[2];
  CHECK(pipe(ends) == 0);
  close(ends[0]);
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_writer_open_fd(ends[1], NULL, &w), OSTREL_E_IO);
  close(ends[1]);
  CHECK(pipe_pending() && pipe_blocked());
  int taken = 0;
  CHECK(sigwait(&pipe_only, &taken) == 0 && taken == SIGPIPE);
  sigprocmask(SIG_SETMASK, &old, NULL);
  return TEST_RESULT();
}
