#define _POSIX_C_SOURCE 200809L
/* A decoder's side: reads frames from a shared-memory ring and decodes each shot, round by
 * round, with the sliding window, committing corrections as the rounds arrive.
 *
 *   ostrel_example_consumer RING MODEL.dem COMMIT BUFFER
 *
 * The model's detector coordinates give the layout: one round per time coordinate. The frames'
 * round field says which round of a shot each frame holds. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "ostrel/ostrel.h"

static int fail(const char* what) {
  fprintf(stderr, "consumer: %s: %s\n", what, ostrel_last_error_message());
  return 1;
}

static char* read_text(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  size_t size = 0, cap = 4096;
  char* text = malloc(cap);
  while (text) {
    size += fread(text + size, 1, cap - size - 1, f);
    if (size + 1 < cap) break;
    char* grown = realloc(text, cap *= 2);
    if (!grown) free(text);
    text = grown;
  }
  fclose(f);
  if (text) text[size] = '\0';
  return text;
}

/* The producer may start a moment after us: retry opening for a few seconds. */
static ostrel_status open_ring(const char* name, ostrel_stream** stream) {
  const struct timespec pause = {0, 10 * 1000 * 1000};
  ostrel_status status = OSTREL_E_IO;
  for (int attempt = 0; attempt < 500; ++attempt) {
    status = ostrel_shm_open(name, stream);
    if (status == OSTREL_OK) break;
    nanosleep(&pause, NULL);
  }
  return status;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s RING MODEL.dem COMMIT BUFFER\n", argv[0]);
    return 2;
  }
  char* model = read_text(argv[2]);
  if (!model) {
    fprintf(stderr, "consumer: cannot read %s\n", argv[2]);
    return 1;
  }
  ostrel_window* window = NULL;
  ostrel_status status = ostrel_window_create(model, (uint32_t)atoi(argv[3]), (uint32_t)atoi(argv[4]), &window);
  free(model);
  if (status != OSTREL_OK) return fail("cannot build the sliding window");

  ostrel_stream* stream = NULL;
  if (open_ring(argv[1], &stream) != OSTREL_OK) {
    ostrel_window_free(window);
    return fail("cannot open the ring");
  }
  /* Attached: the name is no longer needed, and the segment goes when both sides let go. */
  ostrel_shm_unlink(argv[1]);
  unsigned long frames = 0, shots = 0, flagged = 0;
  ostrel_frame frame;
  while ((status = ostrel_stream_next(stream, &frame)) == OSTREL_OK) {
    uint64_t committed = 0;
    uint8_t shot_ended = 0;
    ++frames;
    status = ostrel_window_push(window, frame.round, frame.detector_events, frame.ancilla_count, &committed,
                                &shot_ended);
    if (status != OSTREL_OK) break;
    if (shot_ended) {
      ++shots;
      flagged += committed != 0;
    }
  }
  const int ok = status == OSTREL_END_OF_STREAM;
  if (!ok) fail("stopped");
  ostrel_stream_close(stream);
  ostrel_window_free(window);
  printf("consumer: %lu frames, %lu shots decoded, %lu with a logical flip predicted\n", frames, shots, flagged);
  return ok ? 0 : 1;
}
