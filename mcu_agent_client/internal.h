// internal.h - what the API source and the family sources share and
// applications never see: the frame sender, the helpers that request
// functions are written with, and the decoder.  The command ids live in
// the protocol description (protocol.h).
#ifndef MCU_AGENT_INTERNAL_H
#define MCU_AGENT_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mcu_agent_api.h"
#include "protocol.h"
#include "wire.h"

namespace mcu_agent {

// ---- outbound -------------------------------------------------------

// Frames `length` payload bytes with the command id and sends the frame in
// one piece: length + 7 when written, -1 when not.  `data` may be NULL
// only with length 0.
int packet_fill_send(uint32_t mcu_cmd_id, const uint8_t *data, uint8_t length);

// The shapes most request functions take.
inline int send_empty(uint32_t cmd) { return packet_fill_send(cmd, nullptr, 0); }
inline int send_byte(uint32_t cmd, uint32_t value) {
    const uint8_t p0 = static_cast<uint8_t>(value);  // enumerations travel as their low 8 bits
    return packet_fill_send(cmd, &p0, 1);
}

// Result of a request that was given a NULL record: nothing was sent.
constexpr int kNotSent = -1;

// Refuses a request: prints `line` (puts) and returns 0, nothing sent.
int refuse_request(const char *line);

inline uint8_t hi8(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
inline uint8_t lo8(uint32_t v) { return static_cast<uint8_t>(v); }

// ---- inbound --------------------------------------------------------

// A popped frame as the decoder sees it: frame[0] id, frame[1] length L,
// frame[2 + k] payload byte Pk.  At least RECEIVE_BUFFER_MSG_MAX_POP bytes
// are readable and every byte past the payload is zero, so a rule may read
// any payload position below 255 without looking at L.
struct Frame {
    const uint8_t *bytes;
    uint8_t id() const { return bytes[0]; }
    uint8_t length() const { return bytes[1]; }
    uint8_t p(int k) const { return bytes[2 + k]; }
    uint16_t be16(int k) const { return static_cast<uint16_t>(p(k) << 8 | p(k + 1)); }
    uint32_t be32(int k) const {
        return static_cast<uint32_t>(p(k)) << 24 | static_cast<uint32_t>(p(k + 1)) << 16 |
               static_cast<uint32_t>(p(k + 2)) << 8 | p(k + 3);
    }
    const uint8_t *payload() const { return bytes + 2; }
};

// Decodes a popped frame into the packet (all zero, with id and size set)
// as the message's rows in the protocol description say: every field
// lands at its record offset.  An id without rows gets its payload copied
// as it came, and the result is false.  Never allocates, never prints.
bool decode_frame(Frame frame, PACKET_MSG *packet);

}  // namespace mcu_agent

#endif  // MCU_AGENT_INTERNAL_H
