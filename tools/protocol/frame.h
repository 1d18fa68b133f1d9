// frame.h - frames on the agent socket in both directions: building them,
// cutting them out of a byte stream, and checking an application's frame
// against the description.
//
//   application -> agent:  BA AB 00 00 id L payload checksum
//                          (checksum = id ^ L ^ every payload byte)
//   agent -> application:  AB BA 00 00 id L payload trailer
//                          (the library does not examine the trailer; the
//                          tools write the same XOR there)
#ifndef MCU_PROTOCOL_FRAME_H
#define MCU_PROTOCOL_FRAME_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace mcu_protocol {

using Bytes = std::vector<uint8_t>;

// Who wrote a frame: the application (an outbound command) or the agent
// (an inbound message).
enum class Direction : uint8_t { App, Agent };
const char *direction_word(Direction d);  // "app" or "agent"

uint8_t frame_checksum(uint8_t id, const uint8_t *payload, std::size_t length);
Bytes app_frame(uint8_t id, const Bytes &payload);
Bytes agent_frame(uint8_t id, const Bytes &payload);

// One piece of a byte stream: a frame, or bytes that do not start one.
struct Piece {
    bool is_frame = false;
    Direction direction = Direction::App;  // by the lead bytes
    uint8_t id = 0;
    Bytes payload;
    Bytes raw;  // every byte of the piece as it came
};

// Cuts frames of either direction out of a stream that arrives in chunks.
class FrameScanner {
public:
    void feed(const uint8_t *data, std::size_t size);
    // The next complete piece, if any.  Bytes before the next lead-byte
    // pair come out as one garbage piece.
    std::optional<Piece> next();
    // At the end of the stream: whatever is left (a frame cut short), as
    // garbage.
    std::optional<Piece> flush();
    std::size_t buffered() const { return buffer_.size(); }

private:
    std::deque<uint8_t> buffer_;
};

// What is wrong with a frame that the application sent, in words; empty
// when it is a valid frame of a known command in one of its layouts.
std::vector<std::string> app_frame_problems(const Piece &piece);

// Hex without separators ("2101AB") and back; spaces are allowed when
// reading.
std::string hex(const uint8_t *data, std::size_t size);
inline std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }
// Pairs of hex digits separated by spaces ("AB BA 00").
std::string spaced_hex(const Bytes &b);
bool parse_hex(const std::string &text, Bytes *out);

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_FRAME_H
