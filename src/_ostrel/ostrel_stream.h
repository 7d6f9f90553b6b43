#pragma once
// OstrelStream(source): iterates the frames of a file or a TCP peer; a context manager.
#include "_ostrel/python.h"

namespace ostrel::py {

PyTypeObject* ostrel_stream_type();
bool init_ostrel_stream_type();

}  // namespace ostrel::py
