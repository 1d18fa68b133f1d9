// wire.h - the bytes of the link as the benchmark's own agent server and
// its raw-socket reference loop see them: building inbound frames into a
// buffer, and cutting frames out of a buffer in place.  The library has
// its own code for both; this copy is what the library is measured
// against, so it is kept as lean as a hand-written loop would be.
#ifndef MCU_AGENT_BENCH_WIRE_H
#define MCU_AGENT_BENCH_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bench {

constexpr int kFrameOverhead = 7;  // lead bytes, two unused, id, length, trailer
constexpr int kHeadSize = 6;
constexpr uint8_t kInboundLead0 = 0xAB;
constexpr uint8_t kInboundLead1 = 0xBA;
constexpr uint8_t kOutboundLead0 = 0xBA;
constexpr uint8_t kOutboundLead1 = 0xAB;

// Writes one inbound frame at `at`; returns its size.
inline std::size_t put_inbound(uint8_t *at, uint8_t id, const uint8_t *payload, uint8_t length) {
    at[0] = kInboundLead0;
    at[1] = kInboundLead1;
    at[2] = 0;
    at[3] = 0;
    at[4] = id;
    at[5] = length;
    if (length) std::memcpy(at + kHeadSize, payload, length);
    at[kHeadSize + length] = 0;
    return static_cast<std::size_t>(length) + kFrameOverhead;
}

// Writes one outbound frame (checksum included) at `at`; returns its size.
inline std::size_t put_outbound(uint8_t *at, uint8_t id, const uint8_t *payload, uint8_t length) {
    at[0] = kOutboundLead0;
    at[1] = kOutboundLead1;
    at[2] = 0;
    at[3] = 0;
    at[4] = id;
    at[5] = length;
    uint8_t checksum = id ^ length;
    for (int i = 0; i < length; ++i) {
        at[kHeadSize + i] = payload[i];
        checksum ^= payload[i];
    }
    at[kHeadSize + length] = checksum;
    return static_cast<std::size_t>(length) + kFrameOverhead;
}

// Cuts whole frames out of bytes[0, size): calls on_frame(frame) for each
// (frame points at the first lead byte) and returns the number of bytes
// consumed.  A frame start without the lead bytes stops the scan and sets
// *bad.
template <uint8_t Lead0, uint8_t Lead1, typename OnFrame>
inline std::size_t cut_frames(const uint8_t *bytes, std::size_t size, bool *bad, OnFrame &&on_frame) {
    std::size_t at = 0;
    while (size - at >= static_cast<std::size_t>(kHeadSize)) {
        const uint8_t *f = bytes + at;
        if (f[0] != Lead0 || f[1] != Lead1) {
            *bad = true;
            return at;
        }
        const std::size_t whole = static_cast<std::size_t>(f[5]) + kFrameOverhead;
        if (size - at < whole) break;
        on_frame(f);
        at += whole;
    }
    return at;
}

// True when an outbound frame's checksum byte matches its id, length and
// payload.
inline bool outbound_checksum_ok(const uint8_t *frame) {
    uint8_t checksum = frame[4] ^ frame[5];
    for (int i = 0; i < frame[5]; ++i) checksum ^= frame[kHeadSize + i];
    return checksum == frame[kHeadSize + frame[5]];
}

}  // namespace bench

#endif
