/* Delivery latency and throughput of 64-ancilla frames, producer thread -> consumer thread,
 * over a shared-memory ring and over loopback TCP in the same run; then producer -> committed
 * correction with the sliding window, over the ring. The two threads are pinned to different
 * cores. Latency is the consumer's clock at delivery minus the frame's timestamp_ns, stamped by
 * the producer just before it writes (both CLOCK_MONOTONIC).
 *
 *   shm_latency [FRAMES [MODEL.dem ROUNDS.qssf COMMIT BUFFER [METHOD [THREADS [SHOTS.u8]]]]]
 *
 * The latency runs pace the producer (one frame every $OSTREL_BENCH_INTERVAL_NS, default 4000)
 * so that the figures are delivery, not queueing; the throughput runs send as fast as the
 * consumer takes them. Both sides spin while waiting, so on a loaded machine (see the load
 * average printed) a descheduled side shows up in the tail. Beside the wall-clock rate, each
 * throughput run gives each side's CPU time per frame (its thread's CPU clock): what a side
 * costs whatever else the machine runs. A side that waits for the other spins for a while
 * first, which counts in its CPU time; the consumer of a flood rarely waits. A last pair of runs
 * takes both sides in one thread by turns: each side's cost without the scheduler or the cores. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "ostrel/ostrel.h"

enum { ANCILLAS = 64 };

static uint64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static uint64_t thread_cpu_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static uint64_t process_cpu_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static void pin(int core) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core % (int)sysconf(_SC_NPROCESSORS_ONLN), &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

static void die(const char* what) {
  fprintf(stderr, "shm_latency: %s: %s\n", what, ostrel_last_error_message());
  exit(1);
}

static int compare_u32(const void* a, const void* b) {
  uint32_t x = *(const uint32_t*)a, y = *(const uint32_t*)b;
  return (x > y) - (x < y);
}

static double percentile_us(uint32_t* sorted, size_t n, double q) {
  size_t i = (size_t)(q * (double)(n - 1));
  return sorted[i] / 1000.0;
}

/* ------------------------------------------------------------------ one transport run */

typedef struct {
  const char* transport; /* "shm" or "tcp" */
  int64_t spin_ns;       /* the ring reader's spin; negative: the default */
  char ring[64];
  int listen_fd;
  int port;
  uint64_t frames;
  uint64_t interval_ns; /* 0: as fast as possible */
  /* the recorded frames to send instead of synthetic ones (the decoding run) */
  ostrel_frame* recorded;
  uint64_t recorded_count;
  uint64_t producer_cpu_ns; /* the producer thread's CPU time, set when it ends */
  uint32_t burst;           /* frames per ostrel_writer_write_frames call; 0 or 1: one at a time */
} run_config;

static void* producer_main(void* arg) {
  run_config* c = arg;
  pin(0);
  const uint64_t cpu_start = thread_cpu_ns();
  ostrel_writer* w = NULL;
  if (strcmp(c->transport, "shm") == 0) {
    if (ostrel_shm_create(c->ring, 1 << 20, NULL, -1, &w) != OSTREL_OK) die("ostrel_shm_create");
  } else {
    int fd = accept(c->listen_fd, NULL, NULL);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (ostrel_writer_open_fd(fd, NULL, &w) != OSTREL_OK) die("ostrel_writer_open_fd");
    close(fd);
  }
  uint8_t events[ANCILLAS];
  for (int a = 0; a < ANCILLAS; ++a) events[a] = (uint8_t)(a % 9 == 0);
  ostrel_frame f;
  memset(&f, 0, sizeof f);
  f.ancilla_count = ANCILLAS;
  f.detector_events = events;
  uint64_t next = now_ns();
  if (c->burst > 1) {
    /* Unpaced bursts of synthetic frames sharing one events row. */
    ostrel_frame* burst = malloc(sizeof *burst * c->burst);
    for (uint64_t k = 0; k < c->frames;) {
      uint32_t m = 0;
      for (; m < c->burst && k < c->frames; ++m, ++k) {
        burst[m] = f;
        burst[m].frame_id = k;
        burst[m].timestamp_ns = now_ns();
      }
      if (ostrel_writer_write_frames(w, burst, m, NULL) != OSTREL_OK) die("ostrel_writer_write_frames");
    }
    free(burst);
  }
  for (uint64_t k = 0; k < c->frames && c->burst <= 1; ++k) {
    if (c->recorded) {
      f = c->recorded[k % c->recorded_count];
    }
    f.frame_id = k;
    if (c->interval_ns) {
      next += c->interval_ns;
      while (now_ns() < next) {
      }
    }
    f.timestamp_ns = now_ns();
    if (ostrel_writer_write(w, &f) != OSTREL_OK) die("ostrel_writer_write");
  }
  if (ostrel_writer_close(w) != OSTREL_OK) die("ostrel_writer_close");
  c->producer_cpu_ns = thread_cpu_ns() - cpu_start;
  return NULL;
}

typedef struct {
  double p50, p99, p999, max_us;
  double frames_per_s;
  uint64_t received;
  double consumer_cpu_ns, producer_cpu_ns; /* per frame */
} run_result;

/* Runs one producer/consumer pair; the consumer (this thread) records each frame's latency, and
 * with a window pushes each round and records only the rounds whose push committed a window. */
static run_result run(run_config* c, ostrel_window* window, uint32_t commit, uint32_t buffer) {
  pthread_t producer;
  if (strcmp(c->transport, "shm") == 0) {
    snprintf(c->ring, sizeof c->ring, "ostrel-bench-%ld", (long)getpid());
    ostrel_shm_unlink(c->ring);
  } else {
    c->listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(c->listen_fd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(c->listen_fd, 1) != 0 ||
        getsockname(c->listen_fd, (struct sockaddr*)&addr, &len) != 0) {
      perror("shm_latency: listen");
      exit(1);
    }
    c->port = ntohs(addr.sin_port);
  }
  pthread_create(&producer, NULL, producer_main, c);
  pin(1);
  ostrel_stream* s = NULL;
  if (strcmp(c->transport, "shm") == 0) {
    while (ostrel_shm_open(c->ring, &s) != OSTREL_OK) sched_yield();
    ostrel_shm_unlink(c->ring);
    if (c->spin_ns >= 0 && ostrel_stream_set_spin(s, c->spin_ns) != OSTREL_OK) die("ostrel_stream_set_spin");
  } else {
    char source[64];
    snprintf(source, sizeof source, "tcp://127.0.0.1:%d", c->port);
    if (ostrel_stream_open(source, &s) != OSTREL_OK) die("ostrel_stream_open");
  }
  uint32_t* latency = malloc(sizeof(uint32_t) * (size_t)c->frames);
  size_t n = 0;
  uint64_t received = 0, first = 0, last = 0;
  ostrel_frame f;
  ostrel_status status;
  const uint64_t cpu_start = thread_cpu_ns();
  while ((status = ostrel_stream_next(s, &f)) == OSTREL_OK) {
    if (window) {
      uint64_t frame = 0;
      uint8_t ended = 0;
      if (ostrel_window_push(window, f.round, f.detector_events, f.ancilla_count, &frame, &ended) != OSTREL_OK)
        die("ostrel_window_push");
      const uint32_t r = f.round;
      const int commits = (r + 1 >= commit + buffer && (r + 1 - commit - buffer) % commit == 0) || ended;
      if (!commits) {
        ++received;
        continue;
      }
    }
    const uint64_t t = now_ns();
    if (!received) first = t;
    last = t;
    ++received;
    const uint64_t d = t - f.timestamp_ns;
    latency[n++] = d > UINT32_MAX ? UINT32_MAX : (uint32_t)d;
  }
  if (status != OSTREL_END_OF_STREAM) die("ostrel_stream_next");
  const uint64_t consumer_cpu = thread_cpu_ns() - cpu_start;
  pthread_join(producer, NULL);
  ostrel_stream_close(s);
  if (strcmp(c->transport, "tcp") == 0) close(c->listen_fd);
  run_result res;
  memset(&res, 0, sizeof res);
  qsort(latency, n, sizeof *latency, compare_u32);
  if (n) {
    res.p50 = percentile_us(latency, n, 0.5);
    res.p99 = percentile_us(latency, n, 0.99);
    res.p999 = percentile_us(latency, n, 0.999);
    res.max_us = latency[n - 1] / 1000.0;
  }
  res.received = received;
  if (received) {
    res.consumer_cpu_ns = (double)consumer_cpu / (double)received;
    res.producer_cpu_ns = (double)c->producer_cpu_ns / (double)received;
  }
  res.frames_per_s = last > first ? (double)(received - 1) * 1e9 / (double)(last - first) : 0;
  free(latency);
  return res;
}

/* ------------------------------------------------------------------ one thread, both sides */

/* Each side's CPU per frame with both in this thread, taking turns a few thousand frames at a
 * time: no scheduler, no spinning and no cache lines crossing cores, so the figure holds on a
 * loaded machine too (what the code costs; the two-thread runs add the cores' traffic). */
static void alternating(uint64_t frames, uint32_t burst, double* consumer_ns, double* producer_ns) {
  char ring[64];
  snprintf(ring, sizeof ring, "ostrel-bench-alt-%ld", (long)getpid());
  ostrel_shm_unlink(ring);
  ostrel_writer* w = NULL;
  ostrel_stream* s = NULL;
  if (ostrel_shm_create(ring, 1 << 20, NULL, -1, &w) != OSTREL_OK) die("ostrel_shm_create");
  if (ostrel_shm_open(ring, &s) != OSTREL_OK) die("ostrel_shm_open");
  ostrel_shm_unlink(ring);
  uint8_t events[ANCILLAS];
  for (int a = 0; a < ANCILLAS; ++a) events[a] = (uint8_t)(a % 9 == 0);
  ostrel_frame batch[32], f;
  memset(batch, 0, sizeof batch);
  for (int m = 0; m < 32; ++m) {
    batch[m].ancilla_count = ANCILLAS;
    batch[m].detector_events = events;
  }
  uint64_t produced = 0, consumed = 0;
  for (uint64_t k = 0; k < frames;) {
    const uint64_t turn = k, t0 = thread_cpu_ns();
    while (k < frames && k - turn < 4096) {
      uint32_t m = 0;
      for (; m < (burst > 1 ? burst : 1) && k < frames; ++m, ++k) {
        batch[m].frame_id = k;
        batch[m].timestamp_ns = k;
      }
      if ((burst > 1 ? ostrel_writer_write_frames(w, batch, m, NULL) : ostrel_writer_write(w, batch)) != OSTREL_OK)
        die("write");
    }
    const uint64_t t1 = thread_cpu_ns();
    for (uint64_t i = turn; i < k; ++i)
      if (ostrel_stream_next(s, &f) != OSTREL_OK) die("ostrel_stream_next");
    produced += t1 - t0;
    consumed += thread_cpu_ns() - t1;
  }
  ostrel_writer_close(w);
  ostrel_stream_close(s);
  *consumer_ns = (double)consumed / (double)frames;
  *producer_ns = (double)produced / (double)frames;
}

/* ------------------------------------------------------------------ the decoding run's data */

static char* read_text(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  char* text = malloc((size_t)size + 1);
  if (text && fread(text, 1, (size_t)size, f) != (size_t)size) size = 0;
  if (text) text[size] = '\0';
  fclose(f);
  return text;
}

/* Loads every frame of a recording into memory (each with its own copy of the events). */
static ostrel_frame* load_frames(const char* path, uint64_t* count) {
  ostrel_stream* s = NULL;
  if (ostrel_stream_open(path, &s) != OSTREL_OK) die("ostrel_stream_open (recording)");
  size_t cap = 1024, n = 0;
  ostrel_frame* frames = malloc(cap * sizeof *frames);
  ostrel_frame f;
  while (ostrel_stream_next(s, &f) == OSTREL_OK) {
    if (n == cap) frames = realloc(frames, (cap *= 2) * sizeof *frames);
    uint8_t* events = malloc(f.ancilla_count ? f.ancilla_count : 1);
    memcpy(events, f.detector_events, f.ancilla_count);
    frames[n] = f;
    frames[n].detector_events = events;
    frames[n].meas_results = NULL;
    frames[n].has_observable_flips = 0;
    ++n;
  }
  ostrel_stream_close(s);
  *count = n;
  return frames;
}

/* Whole-shot decoding of the recording's shots (SHOTS.u8: one byte per detector, shot after shot)
 * by the same method, in this thread: its CPU per round beside the window's. */
static void whole_shot(const char* model, const char* method, const char* path, uint32_t rounds_per_shot,
                       double window_ns) {
  ostrel_decoder* decoder = NULL;
  if (ostrel_decoder_create(model, method, &decoder) != OSTREL_OK) die("ostrel_decoder_create");
  const size_t detectors = (size_t)ostrel_decoder_detector_count(decoder);
  FILE* f = fopen(path, "rb");
  if (!f) die("cannot read the shots");
  fseek(f, 0, SEEK_END);
  const size_t shots = (size_t)ftell(f) / detectors;
  fseek(f, 0, SEEK_SET);
  uint8_t* events = malloc(shots * detectors + 1);
  uint64_t* masks = malloc(sizeof *masks * (shots + 1));
  if (fread(events, 1, shots * detectors, f) != shots * detectors) die("short shots file");
  fclose(f);
  double best = 1e300;
  for (int rep = 0; rep < 3; ++rep) {
    const uint64_t t0 = thread_cpu_ns();
    if (ostrel_decoder_decode_batch(decoder, events, shots, detectors, masks) != OSTREL_OK) die("decode_batch");
    const double ns = (double)(thread_cpu_ns() - t0) / (double)(shots * rounds_per_shot);
    if (ns < best) best = ns;
  }
  printf("whole-shot decode_batch of the same %zu shots: %.0f ns CPU per round (best of 3); the window over the "
         "ring, all its threads: %.2fx that\n", shots, best, window_ns / best);
  free(events);
  free(masks);
  ostrel_decoder_free(decoder);
}

static void report(const char* what, run_result r) {
  printf("%-34s p50 %7.2f us  p99 %7.2f us  p99.9 %7.2f us  max %8.1f us  (%llu)\n", what, r.p50, r.p99, r.p999,
         r.max_us, (unsigned long long)r.received);
}

int main(int argc, char** argv) {
  const uint64_t frames = argc > 1 ? strtoull(argv[1], NULL, 10) : 200000;
  const char* interval_text = getenv("OSTREL_BENCH_INTERVAL_NS");
  const uint64_t interval = interval_text ? strtoull(interval_text, NULL, 10) : 4000;
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  /* The ring with its reader spinning 50 us before it sleeps, the ring with a reader that sleeps
   * at once, and loopback TCP. */
  const char* transports[4] = {"shm", "shm", "tcp", "shm"};
  const char* labels[4] = {"ring (spin 50 us)", "ring (no spin)", "loopback TCP", "ring, bursts of 32"};
  const int64_t spins[4] = {-1, 0, -1, -1};
  run_result paced[4], flood[4];
  for (int t = 0; t < 4; ++t) {
    run_config c;
    memset(&c, 0, sizeof c);
    c.transport = transports[t];
    c.spin_ns = spins[t];
    c.frames = frames;
    c.interval_ns = interval;
    if (t < 3) paced[t] = run(&c, NULL, 0, 0); /* bursts are for floods */
    c.interval_ns = 0;
    c.frames = frames * 5;
    c.burst = t == 3 ? 32 : 1;
    flood[t] = run(&c, NULL, 0, 0);
  }
  printf("64-ancilla frames, producer and consumer threads on different cores (load average %.2f on %ld cores)\n",
         load[0], sysconf(_SC_NPROCESSORS_ONLN));
  printf("delivery latency, one frame every %.1f us:\n", (double)interval / 1000.0);
  for (int t = 0; t < 3; ++t) report(labels[t], paced[t]);
  for (int t = 0; t < 4; ++t)
    printf("%-18s throughput: %.2f M frames/s; CPU per frame: consumer %.0f ns (%.2f M/s), producer %.0f ns (%.2f M/s)\n",
           labels[t], flood[t].frames_per_s / 1e6, flood[t].consumer_cpu_ns, 1e3 / flood[t].consumer_cpu_ns,
           flood[t].producer_cpu_ns, 1e3 / flood[t].producer_cpu_ns);
  for (uint32_t burst = 1; burst <= 32; burst += 31) {
    double consumer_ns = 0, producer_ns = 0;
    alternating(frames * 5, burst, &consumer_ns, &producer_ns);
    printf("ring, one thread taking turns%s: CPU per frame: consumer %.0f ns (%.2f M/s), producer %.0f ns (%.2f M/s)\n",
           burst > 1 ? " (bursts of 32)" : "", consumer_ns, 1e3 / consumer_ns, producer_ns, 1e3 / producer_ns);
  }
  printf("ring / loopback TCP: throughput %.1fx (spin) %.1fx (no spin); p99 delivery TCP / ring %.2fx (spin) %.2fx (no spin)\n",
         flood[0].frames_per_s / flood[2].frames_per_s, flood[1].frames_per_s / flood[2].frames_per_s,
         paced[2].p99 / paced[0].p99, paced[2].p99 / paced[1].p99);

  if (argc > 5) {
    char* model = read_text(argv[2]);
    if (!model) die("cannot read the model");
    const uint32_t commit = (uint32_t)atoi(argv[4]), buffer = (uint32_t)atoi(argv[5]);
    const char* method = argc > 6 ? argv[6] : "matching";
    const uint32_t threads = argc > 7 ? (uint32_t)atoi(argv[7]) : 0;
    uint64_t count = 0;
    ostrel_frame* recorded = load_frames(argv[3], &count);
    double window_ns = 0;
    uint32_t rounds_per_shot = 1;
    for (int paced_run = 2; paced_run >= 0; --paced_run) {
      ostrel_window* window = NULL;
      if (ostrel_window_create_with(model, commit, buffer, method, NULL, threads, &window) != OSTREL_OK)
        die("ostrel_window_create_with");
      run_config c;
      memset(&c, 0, sizeof c);
      c.transport = "shm";
      c.spin_ns = paced_run == 1 ? 0 : -1;
      c.recorded = recorded;
      c.recorded_count = count;
      c.frames = count * (paced_run ? 1 : 4);
      c.interval_ns = paced_run ? interval : 0;
      const uint64_t started = now_ns(), process_started = process_cpu_ns();
      run_result r = run(&c, window, commit, buffer);
      const double seconds = (double)(now_ns() - started) / 1e9;
      const double process_ns = (double)(process_cpu_ns() - process_started);
      if (paced_run)
        report(paced_run == 2 ? "round -> committed (spin 50 us)" : "round -> committed (no spin)", r);
      else {
        window_ns = (process_ns - r.producer_cpu_ns * (double)r.received) / (double)r.received;
        printf("sliding window over the ring, unpaced: %.2f M rounds/s (%llu rounds, %.2f s); CPU per round: "
               "reading and pushing thread %.0f ns, all threads but the producer %.0f ns, producer %.0f ns\n",
               (double)r.received / seconds / 1e6, (unsigned long long)r.received, seconds, r.consumer_cpu_ns,
               window_ns, r.producer_cpu_ns);
      }
      rounds_per_shot = ostrel_window_rounds_per_shot(window);
      ostrel_window_free(window);
    }
    if (argc > 8) whole_shot(model, method, argv[8], rounds_per_shot, window_ns);
    free(model);
  }
  return 0;
}
