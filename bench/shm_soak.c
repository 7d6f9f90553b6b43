/* Soak: FRAMES frames through a shared-memory ring, the producer process killed at random
 * points and restarted, each new producer continuing the ids. Every frame delivered is checked
 * whole (its events and mask follow from its id), and every frame a producer published before
 * it died must be delivered: none lost, none torn.
 *
 *   shm_soak [FRAMES]   (default 10^6)
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "ostrel/ostrel.h"

enum { ANCILLAS = 64 };

static void events_of(uint64_t id, uint8_t* events) {
  uint64_t x = id * 0x9E3779B97F4A7C15ull + 1;
  for (int a = 0; a < ANCILLAS; ++a) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    events[a] = (uint8_t)((x >> 60) == 0);
  }
}

int main(int argc, char** argv) {
  const uint64_t total = argc > 1 ? strtoull(argv[1], NULL, 10) : 1000000;
  char ring[64];
  snprintf(ring, sizeof ring, "ostrel-soak-%ld", (long)getpid());
  /* The id of the last frame the current producer has published, shared with it. */
  volatile uint64_t* published = mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  srand((unsigned)time(NULL));
  uint64_t next = 0, kills = 0, torn = 0, lost = 0;
  const time_t began = time(NULL);
  while (next < total) {
    *published = UINT64_MAX;
    ostrel_shm_unlink(ring);
    const uint64_t start = next;
    pid_t child = fork();
    if (child == 0) {
      ostrel_writer* w = NULL;
      if (ostrel_shm_create(ring, 1 << 16, NULL, -1, &w) != OSTREL_OK) _exit(3);
      uint8_t events[ANCILLAS];
      ostrel_frame f;
      memset(&f, 0, sizeof f);
      f.ancilla_count = ANCILLAS;
      f.detector_events = events;
      f.has_observable_flips = 1;
      for (uint64_t id = start; id < total; ++id) {
        events_of(id, events);
        f.frame_id = id;
        f.observable_flips = ~id;
        if (ostrel_writer_write(w, &f) != OSTREL_OK) _exit(4);
        *published = id;
      }
      ostrel_writer_close(w);
      _exit(0);
    }
    ostrel_stream* s = NULL;
    while (ostrel_shm_open(ring, &s) != OSTREL_OK) {
      const struct timespec pause = {0, 100000};
      nanosleep(&pause, NULL);
    }
    /* Kill after a random number of frames (up to ~2 M), or let the last producer finish. */
    const uint64_t kill_after = (uint64_t)rand() % 2000000;
    ostrel_frame f;
    ostrel_status status;
    uint8_t expected[ANCILLAS];
    int killed = 0;
    while ((status = ostrel_stream_next(s, &f)) == OSTREL_OK) {
      events_of(next, expected);
      if (f.frame_id != next || f.ancilla_count != ANCILLAS || memcmp(f.detector_events, expected, ANCILLAS) != 0 ||
          !f.has_observable_flips || f.observable_flips != ~next)
        ++torn;
      next = f.frame_id + 1;
      if (!killed && next - start == kill_after) {
        kill(child, SIGKILL);
        killed = 1;
      }
    }
    waitpid(child, NULL, 0);
    ostrel_stream_close(s);
    if (killed) {
      ++kills;
      /* Published before the kill means delivered: the last id read is the last published,
       * or the one after it when the kill fell between a publish and its note. */
      const uint64_t last = next - 1;
      if (*published != UINT64_MAX && !(last == *published || last == *published + 1)) ++lost;
      if (status != OSTREL_E_IO) ++torn;
    } else if (status != OSTREL_END_OF_STREAM) {
      ++torn;
    }
  }
  ostrel_shm_unlink(ring);
  printf("shm soak: %llu frames, producer killed %llu times, %llu torn or out of order, %llu lost, %ld s\n",
         (unsigned long long)next, (unsigned long long)kills, (unsigned long long)torn, (unsigned long long)lost,
         (long)(time(NULL) - began));
  return torn || lost ? 1 : 0;
}
