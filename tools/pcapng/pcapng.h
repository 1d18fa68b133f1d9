// pcapng.h - captures as pcapng files that Wireshark reads with the
// mcu_agent dissector (mcu_agent.lua).
//
// One interface of link type "exported PDU" (LINKTYPE_WIRESHARK_UPPER_PDU):
// every packet starts with a tag naming the dissector, "mcu_agent", then
// holds one frame exactly as it was on the socket (or the bytes that were
// not a frame).  The enhanced packet block carries the capture's time stamp
// in microseconds, the direction flag (outbound: the application wrote it,
// inbound: the agent did) and the comment "#N", the connection.  Connect,
// disconnect and dropped lines become empty packets whose comment is the
// capture line without its stamp ("#1 connect /tmp/mcu_agent").
#ifndef MCU_PCAPNG_PCAPNG_H
#define MCU_PCAPNG_PCAPNG_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "line_reader.h"

namespace mcu_pcapng {

constexpr uint16_t kLinkTypeExportedPdu = 252;
constexpr const char *kDissectorName = "mcu_agent";

// The blocks that start a file: section header and the one interface.
std::vector<uint8_t> file_header();
// One enhanced packet block for a capture record.
std::vector<uint8_t> packet_block(const mcu_protocol::CaptureRecord &record);

// Writes a pcapng stream to a file descriptor (a file or Wireshark's fifo).
// Every block goes out whole; false once a write failed (errno says why),
// after which nothing more is written.
class Writer {
public:
    explicit Writer(int fd) : fd_(fd) {}
    bool start();
    bool write(const mcu_protocol::CaptureRecord &record);
    bool ok() const { return ok_; }

private:
    bool put(const std::vector<uint8_t> &block);
    int fd_;
    bool ok_ = true;
};

// The capture readers' line limit: a raw read of up to 64 KiB, in hex, is
// one line; a longer line is no capture line, and is not kept whole.
using mcu_protocol::kMaxCaptureLine;

struct CaptureLine {
    long number = 0;        // in the file, from 1
    bool too_long = false;  // over kMaxCaptureLine; `text` is empty
    std::string text;
};

// Reads a capture file's lines, whole lines only, and again as the file
// grows.  A file that shrinks or is replaced was started again: it is read
// from its start.  "-" is standard input.
class CaptureFollower {
public:
    // `from_end`: what the file holds now is skipped; a file made later is
    // read from its start.
    CaptureFollower(std::string path, bool from_end);
    ~CaptureFollower();
    CaptureFollower(const CaptureFollower &) = delete;
    CaptureFollower &operator=(const CaptureFollower &) = delete;

    // Appends the lines completed since the last call.  With `at_end` (the
    // file is read for the last time) also its last line when it has no
    // newline.  False when the file cannot be opened or read (`error` says
    // why); a file that is not there yet is not an error when following.
    bool lines(std::vector<CaptureLine> *out, bool at_end, std::string *error);
    // True when the input can grow no more: standard input at its end.
    bool ended() const { return ended_; }

private:
    std::string path_;
    bool from_end_ = false;
    int fd_ = -1;
    ino_t inode_ = 0;
    off_t offset_ = 0;
    long number_ = 0;
    bool ended_ = false;
    mcu_cli::LineReader reader_{kMaxCaptureLine};
};

struct ConvertOptions {
    bool follow = false;                        // keep reading the last capture as it grows
    const volatile sig_atomic_t *stop = nullptr;  // following ends when it is set
    FILE *errors = stderr;                      // bad lines: "FILE:N: why"
};

// Writes the records of capture files into one pcapng file ("-": standard
// output), in order, line by line.  A line that is not a capture line, or
// a file that cannot be read, is reported and skipped.  The number of
// those, or -1 (with `error` set) when the output cannot be written.
long captures_to_pcapng(const std::vector<std::string> &captures, const std::string &out,
                        const ConvertOptions &options, std::string *error);

}  // namespace mcu_pcapng

#endif  // MCU_PCAPNG_PCAPNG_H
