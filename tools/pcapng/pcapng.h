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

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"

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

// Writes the records of capture files into one pcapng file, in order.
// False (with `error` set) when a file cannot be read or written.
bool captures_to_pcapng(const std::vector<std::string> &captures, const std::string &out, std::string *error);

}  // namespace mcu_pcapng

#endif  // MCU_PCAPNG_PCAPNG_H
