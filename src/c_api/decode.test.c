/* Decoding from C: every method on a model whose answers are known, batches against single
 * shots, the sliding window's shot protocol, and the refusals. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "c_api/test_check.h"

/* A distance-3 repetition code read once: D0 and D1 compare neighbouring data qubits; the
 * error on the first data qubit flips the logical observable. */
static const char* const kModel =
    "error(0.1) D0 L0\n"
    "error(0.1) D0 D1\n"
    "error(0.1) D1\n";

/* The same with each detector marked with a colour and basis (4th coordinate), as the colour-code
 * methods need. */
static const char* const kColourModel =
    "error(0.1) D0 L0\n"
    "error(0.1) D0 D1\n"
    "error(0.1) D1\n"
    "detector(0, 0, 0, 3) D0\n"
    "detector(1, 0, 0, 4) D1\n";

/* Methods for colour codes, which read those marks and decode errors of any size. */
static int colour_code_method(const char* method) { return method && strstr(method, "mobius") != NULL; }

/* The three shots of a single error each, decoded to that error's observables. */
static const uint8_t kShots[4][2] = {{1, 0}, {1, 1}, {0, 1}, {0, 0}};
static const uint64_t kMasks[4] = {1, 0, 0, 0};

/* Every method decodes a batch as it decodes its shots one by one; the default method
 * (matching) and the colour-code ones also find each single error. */
static void check_method(const char* method) {
  ostrel_decoder* d = NULL;
  CHECK_STATUS(ostrel_decoder_create(colour_code_method(method) ? kColourModel : kModel, method, &d), OSTREL_OK);
  if (!d) return;
  CHECK(ostrel_decoder_detector_count(d) == 2 && ostrel_decoder_observable_count(d) == 1);
  uint64_t masks[4] = {9, 9, 9, 9}, singles[4];
  for (int k = 0; k < 4; ++k) {
    uint64_t mask = 9;
    CHECK_STATUS(ostrel_decoder_decode(d, kShots[k], 2, &mask), OSTREL_OK);
    if (method == NULL || colour_code_method(method)) CHECK(mask == kMasks[k]);
    singles[k] = mask;
  }
  CHECK_STATUS(ostrel_decoder_decode_batch(d, &kShots[0][0], 4, 2, masks), OSTREL_OK);
  for (int k = 0; k < 4; ++k) CHECK(masks[k] == singles[k]);
  uint64_t mask;
  CHECK_STATUS(ostrel_decoder_decode(d, kShots[0], 3, &mask), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("must hold 2 values");
  ostrel_decoder_free(d);
}

static char* read_file(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  char* text = calloc(1 << 16, 1);
  if (text) fread(text, 1, (1 << 16) - 1, f);
  fclose(f);
  return text;
}

/* The methods on a check matrix, which take errors of any size: the table's "graph" cases are
 * theirs to decode. */
static int decodes_hyperedges(const char* method) {
  return strcmp(method, "bp-osd") == 0 || strcmp(method, "relay-bp") == 0;
}

/* Every case of the refusal table the Python tests read too, with every method. */
static void check_refusals(void) {
  char* table = read_file(OSTREL_REFUSAL_TABLE);
  CHECK(table != NULL);
  if (!table) return;
  size_t cases = 0;
  for (char* at = strstr(table, "\n= "); at; ++cases) {
    char* head = at + 3;
    char* head_end = strchr(head, '\n');
    if (!head_end) break;
    *head_end = '\0';
    char* next = strstr(head_end + 1, "\n= ");
    char saved = 0;
    if (next) {
      saved = next[1];
      next[1] = '\0';
    }
    const char* model = head_end + 1;
    const int format = strncmp(head, "FORMAT ", 7) == 0;
    const char* message = strchr(head, ' ') + 1;
    const int graph_only = strncmp(message, "graph ", 6) == 0;
    if (graph_only) message += 6;
    for (size_t m = 0;; ++m) {
      const char* method = m == 0 ? "union-find" : ostrel_decode_method_name(m - 1);
      if (!method) break;
      if (graph_only && (m == 0 || decodes_hyperedges(method) || colour_code_method(method))) continue;
      ostrel_decoder* d = (ostrel_decoder*)1;
      const ostrel_status status = ostrel_decoder_create(model, method, &d);
      CHECK(status == (format ? OSTREL_E_FORMAT : OSTREL_E_INVALID_ARGUMENT) && d == NULL);
      if (!strstr(ostrel_last_error_message(), message))
        fprintf(stderr, "refusal by %s: wanted \"%s\"\n", method, message);
      CHECK_ERROR_HAS(message);
      if (status == OSTREL_OK) ostrel_decoder_free(d);
    }
    if (next) next[1] = saved;
    at = next;
  }
  CHECK(cases >= 8);
  free(table);

  /* Hostile nesting is refused, not a crashed stack. */
  const size_t depth = 200000;
  const char open[] = "repeat 1 {\n";
  char* nested = malloc(depth * (sizeof open - 1 + 2) + 32);
  CHECK(nested != NULL);
  if (!nested) return;
  char* w = nested;
  for (size_t k = 0; k < depth; ++k) w += sprintf(w, "%s", open);
  w += sprintf(w, "error(0.1) D0\n");
  for (size_t k = 0; k < depth; ++k) w += sprintf(w, "}\n");
  ostrel_decoder* d = NULL;
  CHECK_STATUS(ostrel_decoder_create(nested, NULL, &d), OSTREL_E_FORMAT);
  CHECK_ERROR_HAS("more than 64 levels of nested repeat blocks");
  free(nested);

  /* Options: read by name, and refused when no method reads them. */
  CHECK_STATUS(ostrel_decoder_create_with_options(kModel, "matching", "max_iter=3", &d), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("unknown option 'max_iter' for method 'matching'");
  CHECK_STATUS(ostrel_decoder_create_with_options(kModel, "matching", "", &d), OSTREL_OK);
  ostrel_decoder_free(d);
  CHECK_STATUS(ostrel_decoder_create_with_options(kModel, "matching", "max_iter", &d), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("is not of the form name=value");
}

static void check_window(const char* model_path) {
  char* model = read_file(model_path);
  CHECK(model != NULL);
  if (!model) return;
  ostrel_window* w = NULL;
  CHECK_STATUS(ostrel_window_create(model, 0, 3, &w), OSTREL_E_INVALID_ARGUMENT);
  CHECK_STATUS(ostrel_window_create(model, 2, 3, &w), OSTREL_OK);
  char* text = model;
  if (!w) {
    free(text);
    return;
  }
  const uint32_t rounds = ostrel_window_rounds_per_shot(w), ancillas = ostrel_window_ancilla_count(w);
  CHECK(rounds == 11 && ancillas == 4);
  uint8_t quiet[4] = {0, 0, 0, 0};
  uint64_t frame = 9;
  uint8_t ended = 9, had = 9;
  CHECK_STATUS(ostrel_window_finish(w, &frame, &had), OSTREL_OK);
  CHECK(had == 0);
  /* A quiet shot predicts no flip; only its last round ends it. */
  for (uint32_t r = 0; r < rounds; ++r) {
    CHECK_STATUS(ostrel_window_push(w, r, quiet, 4, &frame, &ended), OSTREL_OK);
    CHECK(ended == (r + 1 == rounds) && frame == 0);
  }
  CHECK_STATUS(ostrel_window_push(w, 5, quiet, 4, &frame, &ended), OSTREL_E_STATE);
  CHECK_STATUS(ostrel_window_push(w, 0, quiet, 3, &frame, &ended), OSTREL_E_INVALID_ARGUMENT);
  CHECK_STATUS(ostrel_window_push(w, 0, quiet, 4, &frame, &ended), OSTREL_OK);
  CHECK_STATUS(ostrel_window_finish(w, &frame, &had), OSTREL_OK);
  CHECK(had == 1 && frame == 0 && ostrel_window_committed(w) == 0);
  ostrel_window_free(w);

  /* Parallel windows: one and three threads predict alike, shot by shot. */
  ostrel_window* one = NULL;
  ostrel_window* three = NULL;
  CHECK_STATUS(ostrel_window_create_parallel(text, 2, 0, 1, &one), OSTREL_E_INVALID_ARGUMENT);
  CHECK_STATUS(ostrel_window_create_parallel(text, 2, 3, 1, &one), OSTREL_OK);
  CHECK_STATUS(ostrel_window_create_parallel(text, 2, 3, 3, &three), OSTREL_OK);
  free(text);
  if (!one || !three) return;
  uint32_t seed = 7;
  for (int shot = 0; shot < 50; ++shot) {
    uint64_t a = 0, b = 0;
    for (uint32_t r = 0; r < rounds; ++r) {
      uint8_t events[4];
      for (int k = 0; k < 4; ++k) {
        seed = seed * 1103515245u + 12345u;
        events[k] = (uint8_t)((seed >> 16) % 5 == 0);
      }
      CHECK_STATUS(ostrel_window_push(one, r, events, 4, &a, &ended), OSTREL_OK);
      CHECK_STATUS(ostrel_window_push(three, r, events, 4, &b, &ended), OSTREL_OK);
    }
    CHECK(ended == 1 && a == b);
  }
  ostrel_window_free(one);
  ostrel_window_free(three);
}

/* Two rounds of two colour-marked detectors, with errors within and across the rounds. */
static const char* const kTwoRoundModel =
    "error(0.1) D0 L0\n"
    "error(0.1) D0 D1\n"
    "error(0.1) D1\n"
    "error(0.05) D0 D2\n"
    "error(0.05) D1 D3\n"
    "error(0.1) D2 L0\n"
    "error(0.1) D2 D3\n"
    "error(0.1) D3\n"
    "detector(0, 0, 0, 3) D0\n"
    "detector(1, 0, 0, 4) D1\n"
    "detector(0, 0, 1, 3) D2\n"
    "detector(1, 0, 1, 4) D3\n";

/* Every listed method windows: a window of the whole shot predicts as the method's decoder on
 * every shot, and one of a round each runs; options go to the method. */
static void check_window_methods(void) {
  for (size_t k = 0; ostrel_decode_method_name(k) != NULL; ++k) {
    const char* method = ostrel_decode_method_name(k);
    ostrel_window* whole = NULL;
    ostrel_window* step = NULL;
    ostrel_decoder* d = NULL;
    CHECK_STATUS(ostrel_window_create_with(kTwoRoundModel, 2, 1, method, NULL, 0, &whole), OSTREL_OK);
    CHECK_STATUS(ostrel_window_create_with(kTwoRoundModel, 1, 1, method, NULL, 0, &step), OSTREL_OK);
    CHECK_STATUS(ostrel_decoder_create(kTwoRoundModel, method, &d), OSTREL_OK);
    if (!whole || !step || !d) {
      fprintf(stderr, "  method %s\n", method);
    } else {
      for (unsigned shot = 0; shot < 16; ++shot) {
        const uint8_t events[4] = {shot & 1, shot >> 1 & 1, shot >> 2 & 1, shot >> 3 & 1};
        uint64_t a = 9, b = 9, mask = 9;
        uint8_t ended = 0;
        for (uint32_t r = 0; r < 2; ++r) {
          CHECK_STATUS(ostrel_window_push(whole, r, events + 2 * r, 2, &a, &ended), OSTREL_OK);
          CHECK_STATUS(ostrel_window_push(step, r, events + 2 * r, 2, &b, &ended), OSTREL_OK);
        }
        CHECK(ended == 1);
        CHECK_STATUS(ostrel_decoder_decode(d, events, 4, &mask), OSTREL_OK);
        if (a != mask) fprintf(stderr, "  method %s shot %u: window %llu, decoder %llu\n", method, shot,
                               (unsigned long long)a, (unsigned long long)mask);
        CHECK(a == mask);
      }
    }
    ostrel_window_free(whole);
    ostrel_window_free(step);
    ostrel_decoder_free(d);
  }
  ostrel_window* w = NULL;
  CHECK_STATUS(ostrel_window_create_with(kTwoRoundModel, 1, 1, "bp-osd", "osd_order=2", 0, &w), OSTREL_OK);
  ostrel_window_free(w);
  w = NULL;
  CHECK_STATUS(ostrel_window_create_with(kTwoRoundModel, 1, 1, "bp-osd", "osd_ordr=2", 0, &w),
               OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("unknown option 'osd_ordr'");
  CHECK_STATUS(ostrel_window_create_with(kTwoRoundModel, 1, 1, "mobius", NULL, 2, &w), OSTREL_E_INVALID_ARGUMENT);
  CHECK_ERROR_HAS("threads must be 0");
  CHECK_STATUS(ostrel_window_create_with(kTwoRoundModel, 1, 1, "no-such-method", NULL, 0, &w),
               OSTREL_E_INVALID_ARGUMENT);
  CHECK(w == NULL);
}

int main(int argc, char** argv) {
  size_t methods = 0;
  for (const char* name; (name = ostrel_decode_method_name(methods)) != NULL; ++methods) check_method(name);
  CHECK(methods >= 2);
  check_method(NULL); /* the default */
  check_method("union-find"); /* unlisted, reachable by name */
  for (size_t k = 0; k < methods; ++k) CHECK(strcmp(ostrel_decode_method_name(k), "union-find") != 0);
  check_refusals();
  check_window_methods();

  ostrel_decoder* d = (ostrel_decoder*)1;
  CHECK_STATUS(ostrel_decoder_create(kModel, "no-such-method", &d), OSTREL_E_INVALID_ARGUMENT);
  CHECK(d == NULL);
  CHECK_ERROR_HAS("unknown decoding method 'no-such-method': expected 'matching', ");
  /* A part of the graph without a boundary: one event there is explained by no correction. */
  CHECK_STATUS(ostrel_decoder_create("error(0.1) D0 D1\nerror(0.1) D1 D2 L0\n", NULL, &d), OSTREL_OK);
  if (d) {
    const uint8_t odd[3] = {0, 1, 0}, even[3] = {0, 1, 1};
    uint64_t mask = 9, masks[2];
    CHECK_STATUS(ostrel_decoder_decode(d, even, 3, &mask), OSTREL_OK);
    CHECK(mask == 1);
    CHECK_STATUS(ostrel_decoder_decode(d, odd, 3, &mask), OSTREL_E_INVALID_ARGUMENT);
    const uint8_t rows[6] = {0, 1, 1, 0, 1, 0};
    CHECK_STATUS(ostrel_decoder_decode_batch(d, rows, 2, 3, masks), OSTREL_E_INVALID_ARGUMENT);
    CHECK_ERROR_HAS("shot 1: ");
    ostrel_decoder_free(d);
  }
  CHECK_STATUS(ostrel_decoder_create(kModel, NULL, NULL), OSTREL_E_INVALID_ARGUMENT);
  ostrel_decoder_free(NULL);

  CHECK(argc == 2);
  if (argc == 2) check_window(argv[1]);
  return TEST_RESULT();
}
