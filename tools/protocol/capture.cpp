// capture.cpp - capture lines.
#include "capture.h"

#include <cctype>
#include <chrono>
#include <cstdio>

namespace mcu_protocol {

namespace {

bool all_digits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

std::string format_stamp(int64_t stamp_us) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "(%lld.%06lld)", static_cast<long long>(stamp_us / 1000000),
                  static_cast<long long>(stamp_us % 1000000));
    return buf;
}

std::string format_capture(const CaptureRecord &record) {
    std::string s = format_stamp(record.stamp_us) + " " + direction_word(record.direction);
    if (!record.valid) return s + " ! " + hex(record.raw);
    return s + " > " + hex(&record.id, 1) + "#" + hex(record.payload);
}

LineKind parse_capture(const std::string &line, CaptureRecord *record, std::string *error) {
    std::size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i == line.size() || line[i] == '#') return LineKind::Comment;
    auto bad = [&](const std::string &why) {
        *error = why;
        return LineKind::Bad;
    };
    const std::size_t close = line.find(')', i);
    if (line[i] != '(' || close == std::string::npos) return bad("no (seconds.microseconds) stamp");
    const std::string stamp = line.substr(i + 1, close - i - 1);
    const std::size_t dot = stamp.find('.');
    if (dot == std::string::npos || !all_digits(stamp.substr(0, dot)) || stamp.size() - dot - 1 != 6 ||
        !all_digits(stamp.substr(dot + 1)))
        return bad("stamp is not seconds.microseconds: " + stamp);
    *record = CaptureRecord{};
    record->stamp_us = std::stoll(stamp.substr(0, dot)) * 1000000 + std::stoll(stamp.substr(dot + 1));

    // direction, marker, content
    std::string words[3];
    std::size_t p = close + 1;
    for (int w = 0; w < 3; ++w) {
        while (p < line.size() && std::isspace(static_cast<unsigned char>(line[p]))) ++p;
        const std::size_t start = p;
        while (p < line.size() && (w == 2 || !std::isspace(static_cast<unsigned char>(line[p])))) ++p;
        words[w] = line.substr(start, p - start);
    }
    while (!words[2].empty() && std::isspace(static_cast<unsigned char>(words[2].back()))) words[2].pop_back();
    if (words[0] == "app") {
        record->direction = Direction::App;
    } else if (words[0] == "agent") {
        record->direction = Direction::Agent;
    } else {
        return bad("direction is neither app nor agent: " + words[0]);
    }
    if (words[1] == "!") {
        record->valid = false;
        if (!parse_hex(words[2], &record->raw) || record->raw.empty()) return bad("raw bytes are not hex");
        return LineKind::Record;
    }
    if (words[1] != ">") return bad("expected > or ! after the direction");
    const std::size_t hash = words[2].find('#');
    Bytes id;
    if (hash == std::string::npos || !parse_hex(words[2].substr(0, hash), &id) || id.size() != 1)
        return bad("expected id#payload: " + words[2]);
    if (!parse_hex(words[2].substr(hash + 1), &record->payload)) return bad("payload is not hex");
    if (record->payload.size() > 255) return bad("payload longer than 255 bytes");
    record->id = id[0];
    return LineKind::Record;
}

CaptureRecord capture_of(const Piece &piece, int64_t stamp_us) {
    CaptureRecord r;
    r.stamp_us = stamp_us;
    r.direction = piece.direction;
    const bool framed = piece.is_frame && piece.raw[2] == 0 && piece.raw[3] == 0;
    // The agent's trailer is not examined, so only the application's
    // checksum decides.
    const bool sum_ok = piece.is_frame && (piece.direction == Direction::Agent ||
                                           piece.raw.back() == frame_checksum(piece.id, piece.payload.data(),
                                                                              piece.payload.size()));
    if (framed && sum_ok) {
        r.id = piece.id;
        r.payload = piece.payload;
    } else {
        r.valid = false;
        r.raw = piece.raw;
    }
    return r;
}

int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace mcu_protocol
