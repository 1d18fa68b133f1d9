// capture.h - the capture file: both directions of an agent socket, one
// frame a line, in the style of CAN tool logs:
//
//   (1733590000.100000) #1 connect /tmp/mcu_agent
//   (1733590000.123456) #1 app > 21#
//   (1733590000.124012) #1 agent > 21#07
//   (1733590000.130001) #1 app ! BAAB00002101FF
//   (1733590000.140000) dropped 3
//   (1733590000.200000) #1 disconnect
//
// The stamp is seconds since the epoch with up to six decimals; "#N" names
// the connection (captures written before connections were named leave it
// out, and read as one connection); "app" lines are frames the application
// sent, "agent" lines frames sent to it; after '>' come the id and the
// payload in hex, after '!' the raw bytes of something that was not a
// valid frame (bad checksum, bytes outside any frame).  "connect" names the
// agent socket; "dropped N" says that the writer lost N lines there.  Blank
// lines and lines starting with '#' are comments.
#ifndef MCU_PROTOCOL_CAPTURE_H
#define MCU_PROTOCOL_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "frame.h"

namespace mcu_protocol {

enum class CaptureEvent : uint8_t { Frame, Connect, Disconnect, Dropped };

struct CaptureRecord {
    int64_t stamp_us = 0;
    CaptureEvent event = CaptureEvent::Frame;
    int connection = 0;        // 0: the line names none
    std::string socket_path;   // Connect: the agent socket, may be empty
    uint64_t dropped = 0;      // Dropped: how many lines were lost
    Direction direction = Direction::App;
    bool valid = true;  // false: `raw` holds bytes that were not a valid frame
    uint8_t id = 0;
    Bytes payload;
    Bytes raw;
};

std::string format_capture(const CaptureRecord &record);
std::string format_stamp(int64_t stamp_us);  // "(1733590000.123456)"
CaptureRecord connect_record(int connection, const std::string &socket_path, int64_t stamp_us);
CaptureRecord disconnect_record(int connection, int64_t stamp_us);

enum class LineKind { Record, Comment, Bad };
// Reads one line; `error` says what is wrong with a Bad line.
LineKind parse_capture(const std::string &line, CaptureRecord *record, std::string *error);

// The longest line a capture reader takes, without its newline.  The
// tools write at most about 130 KiB (a 64 KiB read of bytes outside any
// frame, in hex); a longer line is no capture line.
constexpr std::size_t kMaxCaptureLine = 1024 * 1024;

enum class LineRead { Line, TooLong, End };
// The next line of `in` into `line`, without its newline.  A line longer
// than `limit` is read up to its newline and dropped (TooLong, `line`
// empty): a reader never holds more than `limit` bytes of it.
LineRead read_line(std::istream &in, std::string *line, std::size_t limit = kMaxCaptureLine);

// A scanned piece as a capture record: a well-formed frame with a correct
// checksum as id and payload, anything else as raw bytes.
CaptureRecord capture_of(const Piece &piece, int64_t stamp_us);

// Reads a capture file: its records in file order.  False (with `error`
// naming the file and the line) when the file cannot be read or a line is
// not a capture line (or longer than kMaxCaptureLine).
bool read_capture_file(const std::string &path, std::vector<CaptureRecord> *records, std::string *error);
// The same for capture text already read; `name` names it in `error`.
bool read_capture_text(const std::string &text, const std::string &name, std::vector<CaptureRecord> *records,
                       std::string *error);

// Microseconds since the epoch, now.
int64_t wall_clock_us();

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_CAPTURE_H
