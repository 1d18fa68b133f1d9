// wire.h - the frame on the agent socket, in both directions:
//
//   application -> agent:  BA AB 00 00 id L payload checksum
//   agent -> application:  AB BA 00 00 id L payload trailer
//
// checksum = id ^ L ^ every payload byte.  Header-only and allocation-free,
// so the library, the tools, the tests' fake agent and the fuzzers all
// build frames and cut them out of a stream from this one description.
#ifndef MCU_AGENT_WIRE_H
#define MCU_AGENT_WIRE_H

#include <cstddef>
#include <cstdint>

namespace mcu_agent::wire {

constexpr uint8_t kOutboundLead0 = 0xBA;  // written by the application
constexpr uint8_t kOutboundLead1 = 0xAB;
constexpr uint8_t kInboundLead0 = 0xAB;  // written by the agent
constexpr uint8_t kInboundLead1 = 0xBA;
constexpr int kIdOffset = 4;
constexpr int kLengthOffset = 5;
constexpr int kHeadSize = 6;       // lead bytes, two unused, id, length
constexpr int kFrameOverhead = 7;  // the head and the trailing checksum
constexpr int kMaxPayload = 255;
constexpr int kMaxFrame = kMaxPayload + kFrameOverhead;

constexpr uint8_t checksum(uint8_t id, const uint8_t *payload, std::size_t length) {
    uint8_t sum = static_cast<uint8_t>(id ^ static_cast<uint8_t>(length));
    for (std::size_t i = 0; i < length; ++i) sum ^= payload[i];
    return sum;
}

}  // namespace mcu_agent::wire

#endif  // MCU_AGENT_WIRE_H
