/* A control stack's side: publishes syndrome frames into a shared-memory ring.
 *
 *   ostrel_example_producer RING SHOTS ROUNDS ANCILLAS
 *
 * Each shot is ROUNDS frames (round 0 .. ROUNDS-1) of ANCILLAS detector events, a few of them
 * fired at random. When the ring is full the producer waits for the consumer: nothing is lost. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostrel/ostrel.h"

static int fail(const char* what) {
  fprintf(stderr, "producer: %s: %s\n", what, ostrel_last_error_message());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s RING SHOTS ROUNDS ANCILLAS\n", argv[0]);
    return 2;
  }
  const unsigned long shots = strtoul(argv[2], NULL, 10);
  const unsigned long rounds = strtoul(argv[3], NULL, 10);
  const unsigned long ancillas = strtoul(argv[4], NULL, 10);
  if (ancillas == 0 || ancillas > 65535 || rounds == 0) {
    fprintf(stderr, "producer: ROUNDS must be positive and ANCILLAS from 1 to 65535\n");
    return 2;
  }
  ostrel_writer* ring = NULL;
  if (ostrel_shm_create(argv[1], 1 << 16, NULL, -1, &ring) != OSTREL_OK) return fail("cannot create the ring");

  uint8_t* events = calloc(ancillas, 1);
  if (!events) return 1;
  uint32_t state = 12345; /* a small xorshift: the example needs no better randomness */
  ostrel_frame frame;
  memset(&frame, 0, sizeof frame);
  frame.ancilla_count = (uint16_t)ancillas;
  frame.code_type = 4; /* repetition */
  frame.distance = (uint8_t)(ancillas + 1);
  frame.detector_events = events;
  uint64_t id = 0;
  for (unsigned long s = 0; s < shots; ++s) {
    for (unsigned long r = 0; r < rounds; ++r) {
      for (unsigned long a = 0; a < ancillas; ++a) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        events[a] = (state % 64) == 0;
      }
      frame.frame_id = id++;
      frame.round = (uint32_t)r;
      if (ostrel_writer_write(ring, &frame) != OSTREL_OK) {
        free(events);
        ostrel_writer_close(ring);
        return fail("cannot publish a frame");
      }
    }
  }
  free(events);
  if (ostrel_writer_close(ring) != OSTREL_OK) return fail("cannot close the ring");
  printf("producer: published %lu frames\n", (unsigned long)id);
  return 0;
}
