// trace.h - the capture that the library writes when the environment
// variable MCU_AGENT_TRACE names a file: every frame in both directions,
// connects and disconnects (the process's end too), one a line, in the
// tools' capture format
//
//   (1733590000.123456) #1 connect /tmp/mcu_agent
//   (1733590000.123501) #1 app > 21#
//   (1733590000.124012) #1 agent > 21#07
//   (1733590000.130001) dropped 12
//   (1733590000.200000) #1 disconnect
//
// The link calls these hooks on its frame paths, so none of them blocks,
// takes a lock or allocates: each copies the event into a bounded queue of
// preallocated slots and returns.  A writer thread, started with the first
// prepare(), turns the slots into lines.  When the queue is full the event is
// counted and dropped, never the frame itself; the writer puts the count in
// the capture ("dropped N") where the gap is.
#ifndef MCU_AGENT_TRACE_H
#define MCU_AGENT_TRACE_H

#include <cstdint>

namespace mcu_agent::trace {

// Reads MCU_AGENT_TRACE once and, when it names a file, opens it (never
// waiting) and starts the writer; a file that cannot be opened turns
// tracing off with one line.  Call with no lock held; until it has run
// the hooks trace nothing.
void prepare();

// Each returns at once when tracing is off.
void on_connect(int connection, const char *socket_path);  // connection numbers 1, 2, ... per process
void on_disconnect(int connection);
// When something happened, on both clocks.
struct Stamp {
    int64_t realtime_us;
    int64_t monotonic_ns;
};
Stamp now();
bool active();  // tracing is on
// A whole frame as sent (lead bytes .. checksum), after a successful send;
// any thread.  `when` is the moment the send began (taken before the
// write: its answer may be delivered before the write returns); null: now.
void on_outbound(int connection, const uint8_t *frame, int size, const Stamp *when = nullptr);
// The id, the length byte and the payload, as delivered; packet-handle thread.
void on_inbound(int connection, const uint8_t *popped, int size);

// Writes every queued event out, waiting for the reader as long as it
// takes.  Not for the frame paths.  (At exit the same runs with a limit of
// about a second.)
void flush();

// Tests only: while held, the writer leaves the queue alone, so a test
// can fill it and see the drop count.
void hold_writer_for_test(bool hold);
// The number of events the queue holds at most.
int queue_capacity();

}  // namespace mcu_agent::trace

#endif  // MCU_AGENT_TRACE_H
