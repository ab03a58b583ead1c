// Pieces of the query engine shared by its two units: cv_cloud_async.cpp
// (submission, matching, finishing, the receive and periodic workers) and
// cv_cloud_tx.cpp (the sending side: the transmit worker and a caller's own
// write on an idle connection). Not for use outside the engine.
#pragma once

#include <ctime>

#include "cloud/cv_cloud_async.h"

namespace cv_engine {

// ---- In cv_cloud_async.cpp --------------------------------------------------------

bool stopping(const cv_cloud_handle* handle);
// Now plus `ns` on the monotonic clock (the clock of the engine's conditions).
struct timespec deadline_in(long ns);
// One pause of a worker that holds no lock (after a failed step); ends early on stop.
void sleep_period(cv_cloud_handle* handle);
// The same for `ns`.
void sleep_for(cv_cloud_handle* handle, long ns);
// Counts a pass of a worker's loop (cv_cloud_stats.worker_wakeups).
void note_wakeup(cv_cloud_handle* handle);
// Transmit queue, under the async mutex: takes an item out; puts a request
// at the tail or back at the head (the caller wakes the transmit worker,
// broadcasting `cond`).
void txq_unlink(cv_async_state* a, cv_txq_item* item);
void queue_request(cv_cloud_handle* handle, cv_async_request* request, bool at_head);
// The request of the periodic ping.
bool is_ping_request(const cv_async_request* request);

// ---- In cv_cloud_tx.cpp ------------------------------------------------------------

// Gives up connection `conn_id`, which broke under `worker` (a refused
// client certificate is dropped).
void connection_broken(cv_cloud_handle* handle, uint16_t conn_id, const char* error_text, const char* worker);
// Whether a stream is up (async mutex held; the socket lock comes after it).
bool connected(cv_cloud_handle* handle);
// A caller writes its own new request on an idle connection (async mutex
// held once, the request in both trees and not queued). False: nothing
// done, queue it. True: written, re-queued or left to the transmit worker;
// the mutex is released.
bool send_directly(cv_cloud_handle* handle, cv_async_request* request);
// The receive worker at the end of a pass with answers (async mutex held,
// released here): writes the queries that head the queue, without waiting
// for the socket, and keeps `rx_will_send` set while the stream is up, so
// that submitters leave the transmit worker asleep until the receive worker
// waits (_cv_async_receiver_waits).
void send_for_receiver(cv_cloud_handle* handle);
void* _cv_worker_tx(void* arg);

}  // namespace cv_engine
