// Queries a client sends to the testbed's cloud server in tests and benchmarks.
#pragma once

#include "CorvaneQuery.h"

namespace testbed {

// A new file lookup (qtype 1, SHA-256 hash type) whose hash carries `n`, so
// lookups of different `n` are distinct requests. The caller (or the cloud
// client it is handed to) frees it with ASN_STRUCT_FREE.
CorvaneQuery_t* file_lookup(long n);

}  // namespace testbed
