/* ostrel: read QSSF syndrome streams and decode them, from C.
 *
 * Every function that can fail returns an ostrel_status: OSTREL_OK (0), a positive outcome
 * that is not a failure (OSTREL_END_OF_STREAM), or a negative error. After an error,
 * ostrel_last_error_message() gives its text (the same text the Python package shows) on the
 * calling thread until that thread's next failing call. Handles are opaque; each is used by one
 * thread at a time. Nothing here aborts, throws or leaks: out-of-memory is a status too.
 *
 * Views handed out (a frame's arrays) stay valid until the next call on the same handle. A NULL
 * handle argument is refused with OSTREL_E_INVALID_ARGUMENT, the message naming the argument;
 * the functions that close or free a handle accept NULL and do nothing.
 */
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#include <stddef.h>
#include <stdint.h>

#define OSTREL_API_VERSION 1

#if defined(OSTREL_BUILDING_LIBRARY)
#define OSTREL_EXPORT __attribute__((visibility("default")))
#else
#define OSTREL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t ostrel_status;
enum {
  OSTREL_OK = 0,
  OSTREL_END_OF_STREAM = 1,        /* a stream ended cleanly; no frame */
  OSTREL_E_INVALID_ARGUMENT = -1,  /* a null handle, a bad size, an unknown method, ... */
  OSTREL_E_FORMAT = -2,            /* the bytes are not valid QSSF (or a model not valid DEM text) */
  OSTREL_E_IO = -3,                /* the system refused: no such file, connection refused, ... */
  OSTREL_E_NO_MEMORY = -4,
  OSTREL_E_WOULD_BLOCK = -5,       /* a ring stayed full for the whole timeout; retry */
  OSTREL_E_STATE = -6,             /* the call does not fit the handle's state (e.g. a round out of order) */
  OSTREL_E_INTERNAL = -7,          /* a fault inside the library; the handle should be closed */
  OSTREL_E_TIMEOUT = -8            /* a stream's read waited its whole timeout; the next call resumes */
};

/* The OSTREL_API_VERSION the library was built with. */
OSTREL_EXPORT uint32_t ostrel_api_version(void);
/* The library's version, e.g. "0.1.0" (the Python package's version of the same build). */
OSTREL_EXPORT const char* ostrel_version(void);
/* The text of the calling thread's last error ("" when there was none). */
OSTREL_EXPORT const char* ostrel_last_error_message(void);
/* A constant name for a status, e.g. "OSTREL_E_IO". */
OSTREL_EXPORT const char* ostrel_status_name(ostrel_status status);

/* ------------------------------------------------------------------ frames */

/* One frame. Reading fills it with views into the stream; writing reads it (arrays of
 * ancilla_count values; meas_results may be NULL for all zero). */
typedef struct ostrel_frame {
  uint64_t frame_id;
  uint32_t round;
  uint64_t timestamp_ns;
  uint16_t qubit_count;
  uint16_t ancilla_count;
  uint8_t code_type;
  uint8_t distance;
  uint16_t flags;                 /* as read; ignored when writing */
  const uint8_t* detector_events; /* ancilla_count values, 1 = fired */
  uint32_t detector_event_count;  /* fired detectors; ignored when writing */
  const int8_t* meas_results;     /* ancilla_count values */
  uint8_t has_observable_flips;
  uint64_t observable_flips;
} ostrel_frame;

/* ------------------------------------------------------------------ streams */

typedef struct ostrel_stream ostrel_stream;

/* "tcp://host:port" connects, "shm://name" opens a ring (as ostrel_shm_open), anything else is
 * a file path. A file is read as it grows, as the Python package's streams read it: at its
 * current end ostrel_stream_next gives OSTREL_END_OF_STREAM (before a frame cut there), and a
 * later call reads on from there, the frames appended meanwhile and the cut frame once whole. The
 * end of a TCP stream or a ring is final. */
OSTREL_EXPORT ostrel_status ostrel_stream_open(const char* source, ostrel_stream** out);
/* The consumer's side of a ring made by ostrel_shm_create ("name", "/name" or "shm://name").
 * A ring has one consumer at a time, and a consumer takes from the ring only what
 * ostrel_stream_next has handed it: a consumer that opens the ring after another closed it or
 * died resumes at the next frame nobody was handed, whole (each frame is handed over at most
 * once; one whose call was under way when its consumer died counts as not handed). */
OSTREL_EXPORT ostrel_status ostrel_shm_open(const char* name, ostrel_stream** out);
/* The next frame: OSTREL_OK, OSTREL_END_OF_STREAM, or an error (after which the stream ends). */
OSTREL_EXPORT ostrel_status ostrel_stream_next(ostrel_stream* stream, ostrel_frame* frame);
/* A ring's stream spins for spin_ns (default 50000) before it sleeps while the ring is empty.
 * Spinning gives the lowest latency on a core of its own; 0 suits cores shared with other work,
 * where a spinning reader that is descheduled waits a whole time slice. */
OSTREL_EXPORT ostrel_status ostrel_stream_set_spin(ostrel_stream* stream, int64_t spin_ns);
/* Later calls of ostrel_stream_next wait at most about timeout_ns for a frame (negative: for as
 * long as it takes, the default), then give OSTREL_E_TIMEOUT; the stream goes on, and the next
 * call resumes a frame that had begun to arrive. Waits look at the time every millisecond or
 * so, and poll without sleeping below a millisecond. A file's reads do not wait: at its end
 * ostrel_stream_next gives OSTREL_END_OF_STREAM at once. */
OSTREL_EXPORT ostrel_status ostrel_stream_set_timeout(ostrel_stream* stream, int64_t timeout_ns);
OSTREL_EXPORT void ostrel_stream_close(ostrel_stream* stream);

/* ------------------------------------------------------------------ writing */

typedef struct ostrel_writer ostrel_writer;

/* schema_id: 16 bytes, or NULL for all zero. The stream header is written at once. */
OSTREL_EXPORT ostrel_status ostrel_writer_open_file(const char* path, const uint8_t* schema_id, ostrel_writer** out);
/* Writes to a connected socket or pipe; the writer uses its own duplicate of fd. */
OSTREL_EXPORT ostrel_status ostrel_writer_open_fd(int fd, const uint8_t* schema_id, ostrel_writer** out);
/* The producer's side of a new ring of at least `capacity` bytes (a power of two from 4096 to
 * 16 GiB; larger is OSTREL_E_INVALID_ARGUMENT; a ring of that name whose producer is gone is
 * replaced, one whose producer lives is OSTREL_E_STATE). A frame is published whole or not at
 * all. When the ring has no room for a frame, ostrel_writer_write waits up to full_timeout_ns
 * (negative: as long as it takes; 0: not at all) and then returns OSTREL_E_WOULD_BLOCK having
 * written nothing: bytes not yet handed to a consumer are never overwritten.
 *
 * A ring is a POSIX shared-memory object made with mode 0600: only processes of the same user
 * may attach. Its name outlives both sides until someone unlinks it: the producer's program
 * (ostrel_shm_unlink once it is done, or once its consumer has attached: an attached consumer
 * reads on), or the consumer's. Neither closing the writer nor closing the stream unlinks it.
 * A second consumer of a ring is refused with OSTREL_E_STATE. A child forked by either side does
 * not inherit the side: its copy refuses to write (OSTREL_E_STATE) and its death or life does
 * not matter to the ring. */
OSTREL_EXPORT ostrel_status ostrel_shm_create(const char* name, uint64_t capacity, const uint8_t* schema_id,
                                              int64_t full_timeout_ns, ostrel_writer** out);
/* Removes a ring's name (consumers attached keep reading); a missing name is not an error. */
OSTREL_EXPORT ostrel_status ostrel_shm_unlink(const char* name);
/* Frame ids must rise from one frame to the next (a reader refuses a stream where they do not):
 * a frame whose id does not is refused with OSTREL_E_INVALID_ARGUMENT and nothing is written. */
OSTREL_EXPORT ostrel_status ostrel_writer_write(ostrel_writer* writer, const ostrel_frame* frame);
/* Writes `count` frames in order, as `count` calls of ostrel_writer_write would, in fewer steps:
 * into a ring they go in pieces of whole frames (up to half the ring each) with one publish per
 * piece, so a consumer may be handed several at once. A frame refused (a NULL array, an id that
 * does not rise) ends the burst after the frames before it; a ring that stays full for
 * full_timeout_ns ends it after the pieces published. *written (when not NULL) is the number of
 * frames from the start that went out; after OSTREL_E_IO on a file, pipe or socket it is 0 and
 * the stream should be abandoned. */
OSTREL_EXPORT ostrel_status ostrel_writer_write_frames(ostrel_writer* writer, const ostrel_frame* frames, size_t count,
                                                       size_t* written);
/* Writes bytes as they are, after the stream header: one whole frame of a recording (into a ring
 * it is published whole, like a frame from ostrel_writer_write), or any bytes for a test. */
OSTREL_EXPORT ostrel_status ostrel_writer_write_raw(ostrel_writer* writer, const uint8_t* bytes, size_t size);
/* A ring's writer: waits until a consumer has been handed every frame written (OSTREL_OK), for
 * up to timeout_ns (negative: as long as it takes; then OSTREL_E_TIMEOUT). A producer that
 * unlinks its ring once it is done may wait for this first. */
OSTREL_EXPORT ostrel_status ostrel_writer_wait_read(ostrel_writer* writer, int64_t timeout_ns);
/* Ends the stream (a ring's consumer then reads to the end) and frees the writer. Its status
 * reports a failure to flush; the writer is freed in every case. */
OSTREL_EXPORT ostrel_status ostrel_writer_close(ostrel_writer* writer);

/* ------------------------------------------------------------------ decoding */

typedef struct ostrel_decoder ostrel_decoder;

/* The decoding methods offered, by index from 0 (NULL past the last): names ostrel_decoder_create
 * takes. The fixed reference procedure "union-find" is not listed but is taken by name. */
OSTREL_EXPORT const char* ostrel_decode_method_name(size_t index);
/* A decoder for a detector error model given as its text; method NULL means the default
 * ("matching"). The model is refused (OSTREL_E_INVALID_ARGUMENT) as Python refuses it: a line that
 * is no model instruction, a probability outside [0, 1], an observable past L63, errors of three
 * or more detectors for a method on a graph, or more memory than the budget. Text that does not
 * parse is OSTREL_E_FORMAT. */
OSTREL_EXPORT ostrel_status ostrel_decoder_create(const char* dem_text, const char* method, ostrel_decoder** out);
/* The same with the method's options as text, "name=value" pairs separated by commas or spaces
 * (NULL or "" for none); an option the method does not read is refused. */
OSTREL_EXPORT ostrel_status ostrel_decoder_create_with_options(const char* dem_text, const char* method,
                                                               const char* options, ostrel_decoder** out);
OSTREL_EXPORT uint64_t ostrel_decoder_detector_count(const ostrel_decoder* decoder);
OSTREL_EXPORT uint64_t ostrel_decoder_observable_count(const ostrel_decoder* decoder);
/* One shot: detector_count values (non-zero = fired) to the predicted observable mask. A shot
 * that no correction explains (an odd number of events in a part of the graph without a
 * boundary) is refused with OSTREL_E_INVALID_ARGUMENT and a message naming that part. */
OSTREL_EXPORT ostrel_status ostrel_decoder_decode(ostrel_decoder* decoder, const uint8_t* detection_events,
                                                  size_t count, uint64_t* mask);
/* `shots` rows of detector_count values each, row k at detection_events + k * row_stride; a
 * refused shot ends the batch (its message starts "shot K: "), the masks before it are written. */
OSTREL_EXPORT ostrel_status ostrel_decoder_decode_batch(ostrel_decoder* decoder, const uint8_t* detection_events,
                                                        size_t shots, size_t row_stride, uint64_t* masks);
OSTREL_EXPORT void ostrel_decoder_free(ostrel_decoder* decoder);

/* ------------------------------------------------------------------ sliding window */

typedef struct ostrel_window ostrel_window;

/* A sliding-window decoder for a model's text with its coordinate layout (a round per time
 * coordinate), committing `commit_rounds` rounds each time `commit_rounds + buffer_rounds` are
 * held. */
OSTREL_EXPORT ostrel_status ostrel_window_create(const char* dem_text, uint32_t commit_rounds, uint32_t buffer_rounds,
                                                 ostrel_window** out);
/* As ostrel_window_create, with windows decoded in parallel on `threads` threads of the window's
 * own (0: one after another in the pushing thread): a first layer of windows with `buffer_rounds`
 * on both sides of their commit region, then the seams between them, and last the rest of the
 * shot after the commit region of the window before it. Predictions are the same
 * for every threads >= 1; a shot's last round waits for its windows. The model is expanded. */
OSTREL_EXPORT ostrel_status ostrel_window_create_parallel(const char* dem_text, uint32_t commit_rounds,
                                                          uint32_t buffer_rounds, uint32_t threads,
                                                          ostrel_window** out);
/* Either of the above with any decoding method (NULL: "matching") and its options as
 * ostrel_decoder_create_with_options takes them (NULL or "" for none). The graph methods fold a
 * long repeat block when threads is 0; the methods that decode errors of any size ("bp-osd",
 * "relay-bp", "belief-matching", "mobius", "correlated-mobius") decode each window on its slice of
 * the model, one after another (threads must be 0). */
OSTREL_EXPORT ostrel_status ostrel_window_create_with(const char* dem_text, uint32_t commit_rounds,
                                                      uint32_t buffer_rounds, const char* method, const char* options,
                                                      uint32_t threads, ostrel_window** out);
OSTREL_EXPORT uint32_t ostrel_window_ancilla_count(const ostrel_window* window);
OSTREL_EXPORT uint32_t ostrel_window_rounds_per_shot(const ostrel_window* window);
/* One round: ancilla_count values. Round 0 starts a shot; other rounds follow the last one.
 * *frame gets the running committed frame, or the shot's prediction when *shot_ended is 1. */
OSTREL_EXPORT ostrel_status ostrel_window_push(ostrel_window* window, uint32_t round, const uint8_t* events,
                                               size_t count, uint64_t* frame, uint8_t* shot_ended);
/* The observables committed so far in the shot in progress. */
OSTREL_EXPORT uint64_t ostrel_window_committed(const ostrel_window* window);
/* Ends the shot in progress early: *had_shot is 0 when there was none. */
OSTREL_EXPORT ostrel_status ostrel_window_finish(ostrel_window* window, uint64_t* prediction, uint8_t* had_shot);
OSTREL_EXPORT void ostrel_window_free(ostrel_window* window);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_OSTREL_H */
