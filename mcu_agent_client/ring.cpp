// ring.cpp - the receive ring buffer: a circular byte store between the
// receive thread (push) and the packet-handle thread (pop), and the
// exported ring operations.
#include "ring.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "log.h"
#include "wire.h"

namespace mcu_agent::ring {

namespace {

using namespace mcu_agent::wire;

// Offsets given here lie below twice the capacity, so one conditional
// subtraction stands in for a division on every byte examined.
inline int wrap(const RECEIVE_BUFFER_MSG *r, int offset) { return offset >= r->size ? offset - r->size : offset; }
inline unsigned char at(const RECEIVE_BUFFER_MSG *r, int offset) { return r->buffer[wrap(r, offset)]; }

void consume(RECEIVE_BUFFER_MSG *r, int count) {
    if (count <= 0) return;
    r->handle_offset = wrap(r, r->handle_offset + count);
    r->is_full_flag = 0;
}

// What lies at a position of the ring.
struct Scan {
    enum Kind { kEmpty, kIncomplete, kFrame, kGarbage } kind;
    int length;  // kFrame: payload length L; kGarbage: bytes to skip
    Skip why;    // kGarbage
};

// Bytes from `from` up to the next lead-byte pair, or up to a last byte
// that may begin one once more bytes arrive.
int skip_to_lead(const RECEIVE_BUFFER_MSG *r, int from, int stored) {
    int skip = 1;
    while (skip < stored) {
        if (at(r, from + skip) == kInboundLead0 && (skip + 1 == stored || at(r, from + skip + 1) == kInboundLead1))
            break;
        ++skip;
    }
    return skip;
}

bool checksum_matches(const RECEIVE_BUFFER_MSG *r, int from, int length) {
    uint8_t sum = static_cast<uint8_t>(at(r, from + kIdOffset) ^ length);
    for (int k = 0; k < length; ++k) sum ^= at(r, from + kHeadSize + k);
    return sum == at(r, from + kHeadSize + length);
}

Scan scan(const RECEIVE_BUFFER_MSG *r, int from, int stored, bool verify) {
    if (stored == 0) return {Scan::kEmpty, 0, Skip::kNone};
    const bool high_ok = at(r, from) == kInboundLead0;
    const bool low_ok = stored < 2 || at(r, from + 1) == kInboundLead1;
    if (high_ok && low_ok) {
        if (stored < kHeadSize) return {Scan::kIncomplete, 0, Skip::kNone};
        const int length = at(r, from + kLengthOffset);
        if (stored < length + kFrameOverhead) return {Scan::kIncomplete, 0, Skip::kNone};
        if (verify && !checksum_matches(r, from, length))
            return {Scan::kGarbage, skip_to_lead(r, from, stored), Skip::kChecksum};
        return {Scan::kFrame, length, Skip::kNone};
    }
    return {Scan::kGarbage, skip_to_lead(r, from, stored), high_ok ? Skip::kLowCheck : Skip::kHighCheck};
}

}  // namespace

int stored(const RECEIVE_BUFFER_MSG *r) {
    if (r->fill_offset == r->handle_offset) return r->is_full_flag ? r->size : 0;
    const int d = r->fill_offset - r->handle_offset;
    return d < 0 ? d + r->size : d;
}

int room(const RECEIVE_BUFFER_MSG *r) { return r->size - stored(r); }

Popped pop(RECEIVE_BUFFER_MSG *r, char *msg, bool verify, int limit) {
    Popped result;
    int left = stored(r);
    if (limit >= 0 && limit < left) left = limit;
    for (;;) {
        const Scan s = scan(r, r->handle_offset, left, verify);
        switch (s.kind) {
        case Scan::kEmpty:
        case Scan::kIncomplete:
            return result;
        case Scan::kGarbage:
            if (!r->resync_flag) {
                result.report = s.why;
                r->resync_flag = 1;
            }
            consume(r, s.length);
            left -= s.length;
            result.consumed += s.length;
            continue;
        case Scan::kFrame: {
            const int count = s.length + 2;  // id, length byte, payload
            const int from = wrap(r, r->handle_offset + kIdOffset);
            const int tail = r->size - from;
            if (count > tail) {
                memcpy(msg, r->buffer + from, static_cast<size_t>(tail));
                memcpy(msg + tail, r->buffer, static_cast<size_t>(count - tail));
            } else {
                memcpy(msg, r->buffer + from, static_cast<size_t>(count));
            }
            consume(r, s.length + kFrameOverhead);
            r->resync_flag = 0;
            result.count = count;
            result.consumed += s.length + kFrameOverhead;
            return result;
        }
        }
    }
}

void discard(RECEIVE_BUFFER_MSG *r, int n) { consume(r, std::min(n, stored(r))); }

const char *skip_line(Skip why) {
    switch (why) {
    case Skip::kHighCheck: return "%s: packet head high check error .\n";
    case Skip::kLowCheck: return "%s: packet head low check error .\n";
    case Skip::kChecksum: return "%s: packet checksum error .\n";
    case Skip::kNone: break;
    }
    return nullptr;
}

}  // namespace mcu_agent::ring

namespace mcu_agent {
// Whether pop checks the checksum byte of inbound frames; off by default,
// since agents in the field may leave that byte unset.
std::atomic<bool> g_verify_inbound_checksum{false};
}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int socket_receive_buffer_msg_init(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    if (!receive_buffer_msg) return -1;
    receive_buffer_msg->buffer = static_cast<unsigned char *>(calloc(RECEIVE_BUFFER_MSG_SIZE, 1));
    if (!receive_buffer_msg->buffer) {
        // Reported to the caller instead of ending the host process.
        log_line(kLogError, "%s : malloc failed.\n", "socket_receive_buffer_msg_init");
        return -1;
    }
    receive_buffer_msg->size = RECEIVE_BUFFER_MSG_SIZE;
    receive_buffer_msg->fill_offset = 0;
    receive_buffer_msg->handle_offset = 0;
    receive_buffer_msg->is_full_flag = 0;
    receive_buffer_msg->resync_flag = 0;
    pthread_mutex_init(&receive_buffer_msg->buffer_mutex, nullptr);
    return 0;
}

int socket_receive_buffer_msg_free(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    if (!receive_buffer_msg || !receive_buffer_msg->buffer) {
        log_line(kLogError, "%s : free failed.\n", "socket_receive_buffer_msg_free");
        return 1;
    }
    free(receive_buffer_msg->buffer);
    receive_buffer_msg->buffer = nullptr;  // a second free reports instead of freeing twice
    return 0;
}

int socket_receive_buffer_msg_lock(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    return pthread_mutex_lock(&receive_buffer_msg->buffer_mutex);
}

int socket_receive_buffer_msg_unlock(RECEIVE_BUFFER_MSG *receive_buffer_msg) {
    return pthread_mutex_unlock(&receive_buffer_msg->buffer_mutex);
}

int socket_receive_buffer_msg_push(RECEIVE_BUFFER_MSG *receive_buffer_msg, unsigned char *msg, int size) {
    static const char kName[] = "socket_receive_buffer_msg_push";
    RECEIVE_BUFFER_MSG *r = receive_buffer_msg;
    if (!r || !r->buffer) {
        log_line(kLogError, "%s : buffer is NULL.\n", kName);
        return -1;
    }
    if (size < 0 || (size > 0 && !msg)) return -1;
    if (size > r->size) {
        log_line(kLogError, "%s : fill size %d > max size[%d].\n", kName, size, r->size);
        return -1;
    }
    const int free_room = ring::room(r);
    if (size > free_room) {
        log_line(kLogError, "%s : fill size %d > free size[%d].\n", kName, size, free_room);
        return -1;
    }
    if (size == 0) return 0;
    if (size == free_room) r->is_full_flag = 1;
    const int tail = r->size - r->fill_offset;
    if (size > tail) {
        memcpy(r->buffer + r->fill_offset, msg, static_cast<size_t>(tail));
        memcpy(r->buffer, msg + tail, static_cast<size_t>(size - tail));
        r->fill_offset = size - tail;
    } else {
        memcpy(r->buffer + r->fill_offset, msg, static_cast<size_t>(size));
        r->fill_offset = (r->fill_offset + size) % r->size;
    }
    return 0;
}

int socket_receive_buffer_msg_pop(RECEIVE_BUFFER_MSG *receive_buffer_msg, char *msg) {
    if (!receive_buffer_msg || !receive_buffer_msg->buffer || !msg) return -1;
    const ring::Popped p = ring::pop(receive_buffer_msg, msg, g_verify_inbound_checksum.load(std::memory_order_relaxed));
    // The caller chose to hold the ring's lock around this call; the
    // library's own threads report skipped runs after releasing it.
    if (p.report != ring::Skip::kNone) log_line(kLogWarning, ring::skip_line(p.report), "socket_receive_buffer_msg_pop");
    return p.count;
}

}  // extern "C"
