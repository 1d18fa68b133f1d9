// pcapng.cpp - pcapng blocks for capture records.
#include "pcapng.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
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
// An option's length travels in 16 bits: a longer value is cut there, so
// that its bytes can never be read as further options or blocks.
constexpr std::size_t kMaxOption = 0xFFFC;

void option(std::vector<uint8_t> &b, uint16_t code, const void *value, std::size_t size) {
    if (size > kMaxOption) size = kMaxOption;
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

CaptureFollower::CaptureFollower(std::string path, bool from_end) : path_(std::move(path)) {
    struct stat st;
    from_end_ = from_end && path_ != "-" && ::stat(path_.c_str(), &st) == 0;
}

CaptureFollower::~CaptureFollower() {
    if (fd_ > STDIN_FILENO) ::close(fd_);
}

bool CaptureFollower::lines(std::vector<CaptureLine> *out, bool at_end, std::string *error) {
    const bool standard_input = path_ == "-";
    if (standard_input) {
        fd_ = STDIN_FILENO;
    } else {
        struct stat now;
        const bool exists = ::stat(path_.c_str(), &now) == 0;
        if (fd_ >= 0 && exists && now.st_ino != inode_) {  // replaced: a new capture
            ::close(fd_);
            fd_ = -1;
            from_end_ = false;
        }
        if (fd_ < 0) {
            if (!exists && !at_end) return true;  // not written yet
            fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd_ < 0) {
                *error = "cannot read " + path_ + ": " + std::strerror(errno);
                return false;
            }
            struct stat st;
            if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
                *error = "cannot read " + path_ + ": " + std::strerror(S_ISDIR(st.st_mode) ? EISDIR : errno);
                return false;
            }
            inode_ = st.st_ino;
            offset_ = from_end_ && S_ISREG(st.st_mode) ? st.st_size : 0;
            if (offset_) ::lseek(fd_, offset_, SEEK_SET);
            number_ = 0;
            reader_.clear();
        }
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < offset_) {  // truncated: started again
            ::lseek(fd_, 0, SEEK_SET);
            offset_ = 0;
            number_ = 0;
            reader_.clear();
        }
    }
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        // A stop signal ends a wait on standard input when following; the
        // last reading of a file goes on to its end.
        if (n < 0 && errno == EINTR && at_end) continue;
        if (n < 0 && errno == EINTR) break;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0) {
            *error = "cannot read " + path_ + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            ended_ = standard_input;
            break;
        }
        offset_ += n;
        reader_.feed(buf, static_cast<std::size_t>(n));
        // Lines are taken as they come, so the reader never holds more
        // than one line and one read.
        CaptureLine line;
        for (mcu_cli::LineReader::Got got; (got = reader_.next(&line.text)) != mcu_cli::LineReader::Got::None;) {
            line.number = ++number_;
            line.too_long = got == mcu_cli::LineReader::Got::TooLong;
            if (line.too_long) line.text.clear();
            out->push_back(line);
        }
    }
    if (at_end || ended_) {
        CaptureLine line;
        const mcu_cli::LineReader::Got got = reader_.rest(&line.text);
        if (got != mcu_cli::LineReader::Got::None) {
            line.number = ++number_;
            line.too_long = got == mcu_cli::LineReader::Got::TooLong;
            out->push_back(line);
        }
    }
    return true;
}

long captures_to_pcapng(const std::vector<std::string> &captures, const std::string &out,
                        const ConvertOptions &options, std::string *error) {
    // A named file through OutputFile (never through a symbolic link, nor
    // into another user's file, 0600); standard output for "-".
    mcu_cli::OutputFile file;
    if (out != "-" && !file.open(out, error)) return -1;
    const int fd = out == "-" ? STDOUT_FILENO : file.fd();
    Writer w(fd);
    long bad = 0;
    bool ok = w.start();
    auto pass = [&](const std::string &path, const std::vector<CaptureLine> &lines) {
        for (const CaptureLine &line : lines) {
            CaptureRecord r;
            std::string why = "longer than " + std::to_string(kMaxCaptureLine) + " bytes";
            const mcu_protocol::LineKind kind =
                line.too_long ? mcu_protocol::LineKind::Bad : mcu_protocol::parse_capture(line.text, &r, &why);
            if (kind == mcu_protocol::LineKind::Bad) {
                std::fprintf(options.errors, "mcu-agent-dump: %s:%ld: %s (skipped)\n",
                             path == "-" ? "(standard input)" : path.c_str(), line.number, why.c_str());
                ++bad;
            } else if (kind == mcu_protocol::LineKind::Record) {
                ok = ok && w.write(r);
            }
        }
    };
    for (std::size_t i = 0; ok && i < captures.size(); ++i) {
        const bool follow = options.follow && i + 1 == captures.size();
        CaptureFollower source(captures[i], false);
        std::vector<CaptureLine> lines;
        std::string why;
        if (!source.lines(&lines, !follow, &why)) {  // reported, and the next file still written
            std::fprintf(options.errors, "mcu-agent-dump: %s\n", why.c_str());
            ++bad;
            continue;
        }
        pass(captures[i], lines);
        while (ok && follow && !source.ended() && !(options.stop && *options.stop)) {
            ::usleep(50 * 1000);
            lines.clear();
            if (!source.lines(&lines, false, error)) return -1;
            pass(captures[i], lines);
        }
    }
    int e = errno;
    if (!file.close() && ok) {
        e = errno;
        ok = false;
    }
    if (!ok) {
        *error = "cannot write " + out + ": " + std::strerror(e);
        return -1;
    }
    return bad;
}

}  // namespace mcu_pcapng
