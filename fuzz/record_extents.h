// record_extents.h - how much of PACKET_MSG.data a decoded message may
// occupy, and what PACKET_MSG.size must read, taken from the protocol
// rows.  The fuzzers check every delivered packet against it: the record
// lies inside its extent and every byte of `data` past the extent is zero.
//
// The extent is a bound over all layouts of the id, worked out from each
// field's record offset, width and count, not from the decoder's walk: a
// decoder that writes past what its rows allow is caught.  An id without
// rows is copied raw: L bytes.
#ifndef MCU_AGENT_FUZZ_RECORD_EXTENTS_H
#define MCU_AGENT_FUZZ_RECORD_EXTENTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "mcu_agent_api.h"
#include "protocol.h"
#include "wire.h"

namespace mcu_agent_fuzz {

// Elements a run may hold in a frame of payload length `length`.
inline std::size_t most_elements(const mcu_agent::protocol::Field &f, uint8_t length) {
    using mcu_agent::protocol::Count;
    using mcu_agent::protocol::Kind;
    const std::size_t per = f.kind == Kind::Numbers ? f.width : 1;
    std::size_t n = (mcu_agent::wire::kMaxPayload - f.pos) / per;  // a count taken from a field
    if (f.count == Count::Fixed) n = f.count_value;
    if (f.count == Count::Rest) n = length > f.pos ? (length - f.pos) / per : 0;
    return f.limit ? std::min<std::size_t>(n, f.limit) : n;
}

// The first byte of `data` past the record of a frame with id `id` and
// payload length `length`.
inline std::size_t record_end(uint8_t id, uint8_t length) {
    using mcu_agent::protocol::Kind;
    const mcu_agent::protocol::Message *m = mcu_agent::protocol::find_message(id);
    if (!m) return length;  // raw copy
    std::size_t end = 0;
    for (const mcu_agent::protocol::Layout &l : m->layouts)
        for (const mcu_agent::protocol::Field &f : l.fields) {
            if (f.record_offset < 0) continue;
            std::size_t bytes = f.record_width;
            if (f.kind == Kind::Bytes || f.kind == Kind::Text) bytes = most_elements(f, length);
            if (f.kind == Kind::Numbers) bytes = most_elements(f, length) * f.record_width;
            end = std::max(end, static_cast<std::size_t>(f.record_offset) + bytes);
        }
    return end;
}

// PACKET_MSG.size for a frame with id `id` and payload length `length`:
// the length byte, or the record's size where the rows say so.
inline uint8_t packet_size(uint8_t id, uint8_t length) {
    const mcu_agent::protocol::Message *m = mcu_agent::protocol::find_message(id);
    if (!m) return length;
    for (const mcu_agent::protocol::Layout &l : m->layouts)
        if (l.packet_size >= 0) return static_cast<uint8_t>(l.packet_size);
    return length;
}

}  // namespace mcu_agent_fuzz

#endif  // MCU_AGENT_FUZZ_RECORD_EXTENTS_H
