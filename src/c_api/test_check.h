/* The C tests' one assertion: prints where and why, and fails the program at exit. */
#ifndef OSTREL_C_API_TEST_CHECK_H
#define OSTREL_C_API_TEST_CHECK_H

#include <stdio.h>
#include <string.h>

#include "ostrel/ostrel.h"

static int test_failures = 0;

#define CHECK(cond)                                                                          \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      fprintf(stderr, "%s:%d: CHECK(%s) failed; last error: %s\n", __FILE__, __LINE__, #cond, \
              ostrel_last_error_message());                                                  \
      ++test_failures;                                                                       \
    }                                                                                        \
  } while (0)

#define CHECK_STATUS(call, expected) CHECK((call) == (expected))

/* The last error on this thread contains `text`. */
#define CHECK_ERROR_HAS(text) CHECK(strstr(ostrel_last_error_message(), (text)) != NULL)

#define TEST_RESULT() (test_failures ? (fprintf(stderr, "%d checks failed\n", test_failures), 1) : 0)

#endif
