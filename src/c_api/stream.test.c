#define _XOPEN_SOURCE 700
/* Frames written by the C writer read back through the C stream, field by field; and the
 * stream's failures with the texts Python shows. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "c_api/test_check.h"

enum { FRAMES = 300, ANCILLAS = 200 };

/* Frame k's events and results, as a function of k (the oracle for what is read back). */
static uint8_t event_of(int k, int a) { return (uint8_t)(((k * 31 + a * 17) % 7) == 0 || (k % 5 == 0 && a > 150)); }
static int8_t meas_of(int k, int a) { return (int8_t)((k + a) % 3 - 1); }

static void write_frames(const char* path) {
  uint8_t events[ANCILLAS];
  int8_t meas[ANCILLAS];
  uint8_t schema[16] = {1, 2, 3};
  ostrel_writer* w = NULL;
  CHECK_STATUS(ostrel_writer_open_file(path, schema, &w), OSTREL_OK);
  for (int k = 0; k < FRAMES; ++k) {
    ostrel_frame f;
    memset(&f, 0, sizeof f);
    f.frame_id = 10 + 3 * (uint64_t)k;
    f.round = (uint32_t)(k % 11);
    f.timestamp_ns = 1000000007ull * (uint64_t)k;
    f.qubit_count = 2 * ANCILLAS;
    f.ancilla_count = (uint16_t)(k == 7 ? 0 : ANCILLAS); /* an empty frame among them */
    f.code_type = 1;
    f.distance = 9;
    for (int a = 0; a < ANCILLAS; ++a) {
      events[a] = event_of(k, a);
      meas[a] = meas_of(k, a);
    }
    f.detector_events = events;
    f.meas_results = k % 2 ? meas : NULL;
    f.has_observable_flips = (uint8_t)(k % 3 == 0);
    f.observable_flips = 0x8000000000000001ull ^ (uint64_t)k;
    CHECK_STATUS(ostrel_writer_write(w, &f), OSTREL_OK);
  }
  CHECK_STATUS(ostrel_writer_close(w), OSTREL_OK);
}

static void read_frames_back(const char* path) {
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_stream_open(path, &s), OSTREL_OK);
  if (!s) return;
  ostrel_frame f;
  for (int k = 0; k < FRAMES; ++k) {
    CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_OK);
    const int n = k == 7 ? 0 : ANCILLAS;
    CHECK(f.frame_id == 10 + 3 * (uint64_t)k && f.round == (uint32_t)(k % 11));
    CHECK(f.timestamp_ns == 1000000007ull * (uint64_t)k && f.qubit_count == 2 * ANCILLAS);
    CHECK(f.ancilla_count == n && f.code_type == 1 && f.distance == 9);
    uint32_t fired = 0;
    int same = 1;
    for (int a = 0; a < n; ++a) {
      fired += event_of(k, a);
      same &= f.detector_events[a] == event_of(k, a);
      same &= f.meas_results[a] == (k % 2 ? meas_of(k, a) : 0);
    }
    CHECK(same && f.detector_event_count == fired);
    CHECK(f.has_observable_flips == (k % 3 == 0));
    if (f.has_observable_flips) CHECK(f.observable_flips == (0x8000000000000001ull ^ (uint64_t)k));
  }
  CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_END_OF_STREAM);
  CHECK_STATUS(ostrel_stream_next(s, &f), OSTREL_END_OF_STREAM);
  ostrel_stream_close(s);
}

/* Cuts the file at `keep` bytes, or overwrites its first bytes, and expects `status` + text. */
static void check_damaged(const char* path, long keep, const char* overwrite, ostrel_status status,
                          const char* text) {
  FILE* f = fopen(path, "r+b");
  CHECK(f != NULL);
  if (!f) return;
  if (overwrite) fwrite(overwrite, 1, strlen(overwrite), f);
  fclose(f);
  if (keep >= 0) CHECK(truncate(path, keep) == 0);
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_stream_open(path, &s), OSTREL_OK);
  ostrel_frame frame;
  ostrel_status got;
  while ((got = ostrel_stream_next(s, &frame)) == OSTREL_OK) {
  }
  CHECK(got == status);
  CHECK_ERROR_HAS(text);
  /* The outcome sticks: the same status and text again. */
  CHECK(ostrel_stream_next(s, &frame) == status);
  CHECK_ERROR_HAS(text);
  ostrel_stream_close(s);
}

/* Appends bytes [from, to) of file `src` to file `dst`. */
static void append_part(const char* src, long from, long to, const char* dst) {
  FILE* in = fopen(src, "rb");
  FILE* out = fopen(dst, "ab");
  CHECK(in && out);
  if (in && out) {
    static char buf[1 << 16];
    CHECK(to - from <= (long)sizeof buf);
    CHECK(fseek(in, from, SEEK_SET) == 0 && fread(buf, 1, (size_t)(to - from), in) == (size_t)(to - from));
    CHECK(fwrite(buf, 1, (size_t)(to - from), out) == (size_t)(to - from));
  }
  if (in) fclose(in);
  if (out) fclose(out);
}

/* A file read while it is written: frames appended after an end arrive on later calls, and a
 * frame cut at the file's current end is left until it is whole. The complete recording (written
 * by write_frames) is the source; the file being read gets it in pieces cut mid-frame. */
static void growing_file(const char* whole, const char* growing) {
  FILE* f = fopen(whole, "rb");
  CHECK(f && fseek(f, 0, SEEK_END) == 0);
  const long size = f ? ftell(f) : 0;
  if (f) fclose(f);
  CHECK(truncate(growing, 0) == 0);
  const long cuts[] = {0, 20, 26, 26 + 1, 700, 701, 5000, 5001, 5002, size / 2, size - 1, size};
  ostrel_stream* s = NULL;
  ostrel_frame frame;
  int k = 0;
  for (size_t c = 1; c < sizeof cuts / sizeof cuts[0]; ++c) {
    append_part(whole, cuts[c - 1], cuts[c], growing);
    if (!s) {
      CHECK_STATUS(ostrel_stream_open(growing, &s), OSTREL_OK);
      /* A file's reads do not wait: a timeout of 0 changes nothing. */
      if (s) CHECK_STATUS(ostrel_stream_set_timeout(s, 0), OSTREL_OK);
    }
    if (!s) return;
    ostrel_status status;
    while ((status = ostrel_stream_next(s, &frame)) == OSTREL_OK) {
      CHECK(frame.frame_id == 10 + 3 * (uint64_t)k);
      CHECK(frame.ancilla_count == (k == 7 ? 0 : ANCILLAS));
      ++k;
    }
    CHECK_STATUS(status, OSTREL_END_OF_STREAM);
  }
  CHECK(k == FRAMES);
  ostrel_stream_close(s);
}

/* A TCP stream with a read timeout, fed by hand: the header, then a frame in two halves. Each
 * wait gives OSTREL_E_TIMEOUT and the stream goes on; the frame arrives whole once its last
 * byte has. `recording` supplies the bytes. */
static void tcp_timeouts(const char* recording) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  CHECK(bind(listener, (struct sockaddr*)&addr, sizeof addr) == 0 && listen(listener, 1) == 0);
  CHECK(getsockname(listener, (struct sockaddr*)&addr, &len) == 0);
  char source[64];
  snprintf(source, sizeof source, "tcp://127.0.0.1:%d", ntohs(addr.sin_port));
  ostrel_stream* s = NULL;
  CHECK_STATUS(ostrel_stream_open(source, &s), OSTREL_OK);
  int peer = accept(listener, NULL, NULL);
  CHECK(peer >= 0);
  FILE* f = fopen(recording, "rb");
  static uint8_t bytes[26 + 2000];
  CHECK(f && fread(bytes, 1, sizeof bytes, f) == sizeof bytes);
  if (f) fclose(f);
  if (!s || peer < 0) return;
  ostrel_frame frame;
  CHECK_STATUS(ostrel_stream_set_timeout(s, 5000000), OSTREL_OK);
  CHECK_STATUS(ostrel_stream_next(s, &frame), OSTREL_E_TIMEOUT);
  const size_t cuts[] = {0, 26, 26 + 100};
  for (size_t c = 1; c < sizeof cuts / sizeof cuts[0]; ++c) {
    CHECK(write(peer, bytes + cuts[c - 1], cuts[c] - cuts[c - 1]) == (ssize_t)(cuts[c] - cuts[c - 1]));
    CHECK_STATUS(ostrel_stream_next(s, &frame), OSTREL_E_TIMEOUT);
  }
  /* The rest of the first frame and more: the first frame, whole. */
  CHECK(write(peer, bytes + 126, sizeof bytes - 126) == (ssize_t)(sizeof bytes - 126));
  CHECK_STATUS(ostrel_stream_set_timeout(s, -1), OSTREL_OK);
  CHECK_STATUS(ostrel_stream_next(s, &frame), OSTREL_OK);
  CHECK(frame.frame_id == 10 && frame.ancilla_count == ANCILLAS);
  close(peer);
  close(listener);
  ostrel_stream_close(s);
}

int main(void) {
  char path[] = "/tmp/ostrel-c-stream-XXXXXX";
  int fd = mkstemp(path);
  CHECK(fd >= 0);
  close(fd);

  CHECK(ostrel_api_version() == OSTREL_API_VERSION);
  write_frames(path);
  read_frames_back(path);
  tcp_timeouts(path);

  /* A frame cut short ends a file stream before it (the file may still be being written, as
   * Python's streams read it), then a stream of another format altogether. */
  char growing[] = "/tmp/ostrel-c-growing-XXXXXX";
  fd = mkstemp(growing);
  CHECK(fd >= 0);
  close(fd);
  growing_file(path, growing);
  unlink(growing);

  check_damaged(path, 26 + 500, NULL, OSTREL_END_OF_STREAM, "");
  check_damaged(path, -1, "XXXX", OSTREL_E_FORMAT, "invalid QSSF magic bytes: expected 0x51535346, got 0x58585858");

  ostrel_stream* s = (ostrel_stream*)1;
  CHECK_STATUS(ostrel_stream_open("/nonexistent/ostrel.qssf", &s), OSTREL_E_IO);
  CHECK(s == NULL);
  CHECK_ERROR_HAS("No such file or directory (os error 2)");
  CHECK_ERROR_HAS("cannot open '/nonexistent/ostrel.qssf'");
  CHECK_STATUS(ostrel_stream_open("tcp://127.0.0.1:1", &s), OSTREL_E_IO);
  CHECK_ERROR_HAS("cannot connect to '127.0.0.1:1': Connection refused (os error 111)");
  /* Sources that cannot be TCP endpoints at all are the caller's mistake, not the system's. */
  static const char* const bad_tcp[] = {"tcp://nohostport", "tcp://host:99999", "tcp://:80", "tcp://host:port",
                                         "tcp://[::1]:"};
  for (size_t i = 0; i < sizeof bad_tcp / sizeof bad_tcp[0]; ++i) {
    CHECK_STATUS(ostrel_stream_open(bad_tcp[i], &s), OSTREL_E_INVALID_ARGUMENT);
    CHECK_ERROR_HAS("invalid TCP source");
  }
  CHECK_STATUS(ostrel_stream_open(NULL, &s), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("source is NULL");
  CHECK_STATUS(ostrel_stream_next(NULL, NULL), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("stream is NULL");
  CHECK_STATUS(ostrel_writer_write(NULL, NULL), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("writer is NULL");
  /* Closing and freeing take NULL. */
  ostrel_stream_close(NULL);
  CHECK_STATUS(ostrel_writer_close(NULL), OSTREL_OK);
  ostrel_decoder_free(NULL);
  ostrel_window_free(NULL);
  CHECK(strcmp(ostrel_status_name(OSTREL_E_TIMEOUT), "OSTREL_E_TIMEOUT") == 0);
  unsigned major, minor, patch;
  char rest;
  CHECK(sscanf(ostrel_version(), "%u.%u.%u%c", &major, &minor, &patch, &rest) == 3);
  CHECK(strcmp(ostrel_status_name(OSTREL_E_WOULD_BLOCK), "OSTREL_E_WOULD_BLOCK") == 0);

  unlink(path);
  return TEST_RESULT();
}
