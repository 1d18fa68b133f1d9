// ring.h - the receive ring's operations as the link uses them: nothing
// here prints or locks, so the link can report skipped bytes after it has
// released its lock.
#ifndef MCU_AGENT_RING_H
#define MCU_AGENT_RING_H

#include "client.h"

namespace mcu_agent::ring {

int stored(const RECEIVE_BUFFER_MSG *r);
int room(const RECEIVE_BUFFER_MSG *r);

// Why bytes were skipped before a frame; reported once per run of them.
enum class Skip { kNone, kHighCheck, kLowCheck, kChecksum };

struct Popped {
    int count = -1;     // L + 2 written to the message area, or -1: no complete frame
    int consumed = 0;   // bytes taken out of the ring, skipped ones included
    Skip report = Skip::kNone;  // the start of a run of skipped bytes to report
};

// Takes one complete frame out of the ring.  Bytes that do not start a
// frame (or, with `verify`, a frame whose checksum byte does not match) are
// skipped up to the next lead-byte pair.  With `limit` at 0 or above,
// only the first `limit` stored bytes are looked at (the bytes of one
// connection, when the next one's follow).
Popped pop(RECEIVE_BUFFER_MSG *r, char *msg, bool verify, int limit = -1);

// Drops the oldest n stored bytes (a frame cut off by the end of its
// connection).
void discard(RECEIVE_BUFFER_MSG *r, int n);

// The line that reports a skipped run, as the exported pop prints it.
const char *skip_line(Skip why);

}  // namespace mcu_agent::ring

#endif  // MCU_AGENT_RING_H
