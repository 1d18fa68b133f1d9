// capture.h - the capture file: both directions of an agent socket, one
// frame a line, in the style of CAN tool logs:
//
//   (1733590000.123456) app > 21#
//   (1733590000.124012) agent > 21#07
//   (1733590000.130001) app ! BAAB00002101FF
//
// The stamp is seconds.microseconds since the epoch; "app" lines are frames
// the application sent, "agent" lines frames sent to it; after '>' come
// the id and the payload in hex, after '!' the raw bytes of something that
// was not a valid frame (bad checksum, bytes outside any frame).  Blank
// lines and lines starting with '#' are comments.
#ifndef MCU_PROTOCOL_CAPTURE_H
#define MCU_PROTOCOL_CAPTURE_H

#include <cstdint>
#include <string>

#include "frame.h"

namespace mcu_protocol {

struct CaptureRecord {
    int64_t stamp_us = 0;
    Direction direction = Direction::App;
    bool valid = true;  // false: `raw` holds bytes that were not a valid frame
    uint8_t id = 0;
    Bytes payload;
    Bytes raw;
};

std::string format_capture(const CaptureRecord &record);
std::string format_stamp(int64_t stamp_us);  // "(1733590000.123456)"

enum class LineKind { Record, Comment, Bad };
// Reads one line; `error` says what is wrong with a Bad line.
LineKind parse_capture(const std::string &line, CaptureRecord *record, std::string *error);

// A scanned piece as a capture record: a well-formed frame with a correct
// checksum as id and payload, anything else as raw bytes.
CaptureRecord capture_of(const Piece &piece, int64_t stamp_us);

// Microseconds since the epoch, now.
int64_t wall_clock_us();

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_CAPTURE_H
