// Default answers of the testbed's cloud server, one per query type, built as
// generated values so that tests and the server can alter them before
// encoding.
#pragma once

#include <mutex>

#include "testbed/cloud_server.h"

namespace testbed {

// Response type (CorvaneQueryResponseData_PR) that answers a query type; a
// genResponse for reg, convict and unknown alternatives.
int response_type_for(int query_type);

// The default response to `query`: txid, sessid and quuid echoed, the query's
// version, the time stamp now, header disposition `disposition`. A pingRetro
// is answered with `ping` and retrospective work when `retro_work` is set.
// Null only when memory runs out.
ResponsePtr build_default_response(const CorvaneQuery_t& query, long disposition, const PingAnswers& ping,
                                   bool retro_work);

// Held around every encode and decode of the testbed: the generated
// runtime formats tags into one static buffer for its debug output even when
// that output is off, so concurrent coding races on it.
std::mutex& codec_mutex();

// Replaces the data of `response` by a genResponse with `error_code`.
void set_gen_response(CorvaneQueryResponse_t& response, long error_code, const char* text);

}  // namespace testbed
