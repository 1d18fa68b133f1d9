// pcapng.cpp - pcapng blocks for capture records.
#include "pcapng.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "frame.h"
#include "output_file.h"

namespace mcu_pcapng {

namespace {

using mcu_protocol::CaptureEvent;
using mcu_protocol::CaptureRecord;
using mcu_protocol::Direction;

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kOptFlags = 2;        // enhanced packet block: flags word
constexpr uint16_t kOptIfName = 2;       // interface block: name
constexpr uint16_t kOptIfTsResol = 9;    // interface block: time stamp resolution
constexpr uint32_t kFlagInbound = 1;
constexpr uint32_t kFlagOutbound = 2;
// Exported PDU tags are big-endian and unpadded.
constexpr uint16_t kTagDissectorName = 12;
constexpr uint16_t kTagEnd = 0;

// Blocks are written in this machine's byte order, which the section
// header's magic number tells readers; every host here is little-endian.
void u16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void u32(std::vector<uint8_t> &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void pad(std::vector<uint8_t> &b) {
    while (b.size() % 4) b.push_back(0);
}
void option(std::vector<uint8_t> &b, uint16_t code, const void *value, std::size_t size) {
    u16(b, code);
    u16(b, static_cast<uint16_t>(size));
    const auto *p = static_cast<const uint8_t *>(value);
    b.insert(b.end(), p, p + size);
    pad(b);
}

std::vector<uint8_t> block(uint32_t type, std::vector<uint8_t> body) {
    pad(body);
    const uint32_t total = static_cast<uint32_t>(body.size() + 12);
    std::vector<uint8_t> b;
    u32(b, type);
    u32(b, total);
    b.insert(b.end(), body.begin(), body.end());
    u32(b, total);
    return b;
}

// The capture line without its stamp: "#1 connect /tmp/mcu_agent".
std::string event_words(const CaptureRecord &r) {
    const std::string line = mcu_protocol::format_capture(r);
    const std::size_t close = line.find(") ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

}  // namespace

std::vector<uint8_t> file_header() {
    std::vector<uint8_t> shb;
    u32(shb, 0x1A2B3C4D);  // byte-order magic
    u16(shb, 1);           // version 1.0
    u16(shb, 0);
    u32(shb, 0xFFFFFFFF);  // section length: not given
    u32(shb, 0xFFFFFFFF);
    std::vector<uint8_t> idb;
    u16(idb, kLinkTypeExportedPdu);
    u16(idb, 0);
    u32(idb, 0);  // no snapshot length limit
    const char name[] = "mcu_agent";
    option(idb, kOptIfName, name, sizeof name - 1);
    const uint8_t microseconds = 6;
    option(idb, kOptIfTsResol, &microseconds, 1);
    option(idb, kOptEnd, nullptr, 0);
    std::vector<uint8_t> out = block(kSectionHeader, shb);
    const std::vector<uint8_t> i = block(kInterfaceDescription, idb);
    out.insert(out.end(), i.begin(), i.end());
    return out;
}

std::vector<uint8_t> packet_block(const CaptureRecord &r) {
    std::vector<uint8_t> data;
    const std::size_t name_size = std::strlen(kDissectorName);
    data.push_back(static_cast<uint8_t>(kTagDissectorName >> 8));
    data.push_back(static_cast<uint8_t>(kTagDissectorName));
    data.push_back(static_cast<uint8_t>(name_size >> 8));
    data.push_back(static_cast<uint8_t>(name_size));
    data.insert(data.end(), kDissectorName, kDissectorName + name_size);
    data.insert(data.end(), {static_cast<uint8_t>(kTagEnd >> 8), static_cast<uint8_t>(kTagEnd), 0, 0});
    std::string comment;
    const bool frame = r.event == CaptureEvent::Frame;
    if (frame) {
        // Valid frames are rebuilt as they were on the socket; the rest
        // kept their bytes in the capture.
        const mcu_protocol::Bytes bytes = !r.valid ? r.raw
                                          : r.direction == Direction::App ? mcu_protocol::app_frame(r.id, r.payload)
                                                                          : mcu_protocol::agent_frame(r.id, r.payload);
        data.insert(data.end(), bytes.begin(), bytes.end());
        if (r.connection) comment = "#" + std::to_string(r.connection);
    } else {
        comment = event_words(r);
    }
    std::vector<uint8_t> epb;
    u32(epb, 0);  // interface 0
    const uint64_t stamp = r.stamp_us < 0 ? 0 : static_cast<uint64_t>(r.stamp_us);
    u32(epb, static_cast<uint32_t>(stamp >> 32));
    u32(epb, static_cast<uint32_t>(stamp));
    u32(epb, static_cast<uint32_t>(data.size()));
    u32(epb, static_cast<uint32_t>(data.size()));
    epb.insert(epb.end(), data.begin(), data.end());
    pad(epb);
    if (frame) {
        uint8_t flags[4];
        const uint32_t f = r.direction == Direction::App ? kFlagOutbound : kFlagInbound;
        for (int i = 0; i < 4; ++i) flags[i] = static_cast<uint8_t>(f >> (8 * i));
        option(epb, kOptFlags, flags, sizeof flags);
    }
    if (!comment.empty()) option(epb, kOptComment, comment.data(), comment.size());
    option(epb, kOptEnd, nullptr, 0);
    return block(kEnhancedPacket, epb);
}

bool Writer::put(const std::vector<uint8_t> &b) {
    std::size_t done = 0;
    while (ok_ && done < b.size()) {
        const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok_ = false;
        else done += static_cast<std::size_t>(n);
    }
    return ok_;
}

bool Writer::start() { return put(file_header()); }
bool Writer::write(const CaptureRecord &record) { return put(packet_block(record)); }

bool captures_to_pcapng(const std::vector<std::string> &captures, const std::string &out, std::string *error) {
    std::vector<CaptureRecord> records;
    for (const std::string &path : captures) {
        std::vector<CaptureRecord> more;
        if (!mcu_protocol::read_capture_file(path == "-" ? "/dev/stdin" : path, &more, error)) return false;
        records.insert(records.end(), more.begin(), more.end());
    }
    mcu_cli::OutputFile file;
    if (!file.open(out, error)) return false;
    Writer w(file.fd());
    bool ok = w.start();
    for (const CaptureRecord &r : records) ok = ok && w.write(r);
    int e = errno;
    if (!file.close() && ok) {
        e = errno;
        ok = false;
    }
    if (!ok) *error = "cannot write " + out + ": " + std::strerror(e);
    return ok;
}

}  // namespace mcu_pcapng
