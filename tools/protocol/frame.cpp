// frame.cpp - frame building, stream scanning and frame checks.
#include "frame.h"

#include <algorithm>
#include <cctype>

#include "codec.h"
#include "description.h"

namespace mcu_protocol {

namespace {

bool is_lead(uint8_t a, uint8_t b, Direction *d) {
    if (a == kOutboundLead0 && b == kOutboundLead1) {
        *d = Direction::App;
        return true;
    }
    if (a == kInboundLead0 && b == kInboundLead1) {
        *d = Direction::Agent;
        return true;
    }
    return false;
}

Bytes frame(uint8_t lead0, uint8_t lead1, uint8_t id, const Bytes &payload) {
    Bytes f(mcu_agent::wire::kMaxFrame);
    f.resize(static_cast<std::size_t>(
        mcu_agent::wire::encode(lead0, lead1, id, payload.data(), static_cast<uint8_t>(payload.size()), f.data())));
    return f;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

const char *direction_word(Direction d) { return d == Direction::App ? "app" : "agent"; }

uint8_t frame_checksum(uint8_t id, const uint8_t *payload, std::size_t length) {
    return mcu_agent::wire::checksum(id, payload, length);
}

Bytes app_frame(uint8_t id, const Bytes &payload) { return frame(kOutboundLead0, kOutboundLead1, id, payload); }
Bytes agent_frame(uint8_t id, const Bytes &payload) { return frame(kInboundLead0, kInboundLead1, id, payload); }

void FrameScanner::feed(const uint8_t *data, std::size_t size) { buffer_.insert(buffer_.end(), data, data + size); }

std::optional<Piece> FrameScanner::next() {
    if (buffer_.size() < 2) return std::nullopt;
    Piece piece;
    if (is_lead(buffer_[0], buffer_[1], &piece.direction)) {
        if (buffer_.size() < kHeadSize) return std::nullopt;
        const std::size_t total = kFrameOverhead + buffer_[5];
        if (buffer_.size() < total) return std::nullopt;
        piece.is_frame = true;
        piece.id = buffer_[4];
        piece.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        piece.payload.assign(piece.raw.begin() + kHeadSize, piece.raw.end() - 1);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        return piece;
    }
    // Garbage up to the next lead-byte pair.  A last byte that may begin a
    // pair waits for the byte after it.
    std::size_t end = 1;
    Direction ignored;
    while (end + 1 < buffer_.size() && !is_lead(buffer_[end], buffer_[end + 1], &ignored)) ++end;
    if (end + 1 == buffer_.size()) {
        const uint8_t last = buffer_.back();
        if (last != kOutboundLead0 && last != kInboundLead0) end = buffer_.size();
    }
    piece.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end));
    return piece;
}

std::optional<Piece> FrameScanner::flush() {
    if (auto p = next()) return p;
    if (buffer_.empty()) return std::nullopt;
    Piece piece;
    piece.raw.assign(buffer_.begin(), buffer_.end());
    buffer_.clear();
    return piece;
}

std::vector<std::string> app_frame_problems(const Piece &piece) {
    std::vector<std::string> problems;
    if (!piece.is_frame) {
        problems.push_back(std::to_string(piece.raw.size()) + " bytes without the lead bytes BA AB");
        return problems;
    }
    if (piece.direction != Direction::App) problems.push_back("lead bytes AB BA belong to the agent's frames");
    if (piece.raw[2] != 0 || piece.raw[3] != 0) problems.push_back("bytes 2 and 3 are not 00 00");
    const uint8_t want = frame_checksum(piece.id, piece.payload.data(), piece.payload.size());
    if (piece.raw.back() != want)
        problems.push_back("checksum " + hex(&piece.raw.back(), 1) + ", expected " + hex(&want, 1));
    const Command *cmd = find_command(piece.id);
    if (!cmd) {
        problems.push_back("unknown command " + hex(&piece.id, 1));
        return problems;
    }
    const Layout *layout = select_layout(cmd->layouts, piece.payload.data(), piece.payload.size());
    if (!layout) {
        problems.push_back("no layout of " + std::string(cmd->name) + " has length " +
                           std::to_string(piece.payload.size()) +
                           (piece.payload.empty() ? "" : " and P0 " + hex(piece.payload.data(), 1)));
        return problems;
    }
    const Values values = decode(*layout, piece.payload.data(), piece.payload.size());
    const std::string length = check_length(*layout, values, piece.payload.size());
    if (!length.empty()) problems.push_back(length);
    return problems;
}

std::string hex(const uint8_t *data, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::string spaced_hex(const Bytes &b) {
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += hex(&b[i], 1);
    }
    return s;
}

bool parse_hex(const std::string &text, Bytes *out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (high >= 0) return false;  // a lone digit
            continue;
        }
        const int d = hex_digit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    return high < 0;
}

}  // namespace mcu_protocol
