// capture.cpp - capture lines.
#include "capture.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "line_reader.h"

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
    std::string s = format_stamp(record.stamp_us);
    if (record.connection) s += " #" + std::to_string(record.connection);
    switch (record.event) {
        case CaptureEvent::Connect:
            return s + " connect" + (record.socket_path.empty() ? "" : " " + record.socket_path);
        case CaptureEvent::Disconnect: return s + " disconnect";
        case CaptureEvent::Dropped: return s + " dropped " + std::to_string(record.dropped);
        case CaptureEvent::Frame: break;
    }
    s += std::string(" ") + direction_word(record.direction);
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
    // Seconds, and up to six decimals: (1.0), (1733590000.123456).
    const std::size_t dot = stamp.find('.');
    const std::string whole = stamp.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "0" : stamp.substr(dot + 1);
    if (!all_digits(whole) || whole.size() > 12 || !all_digits(fraction) || fraction.size() > 6)
        return bad("stamp is not seconds with up to six decimals: " + stamp);
    fraction.resize(6, '0');
    *record = CaptureRecord{};
    record->stamp_us = std::stoll(whole) * 1000000 + std::stoll(fraction);

    std::size_t p = close + 1;
    auto next_word = [&] {
        while (p < line.size() && std::isspace(static_cast<unsigned char>(line[p]))) ++p;
        const std::size_t start = p;
        while (p < line.size() && !std::isspace(static_cast<unsigned char>(line[p]))) ++p;
        return line.substr(start, p - start);
    };
    // The connection, when the line names one.
    const std::size_t before = p;
    const std::string first = next_word();
    if (!first.empty() && first[0] == '#') {
        if (!all_digits(first.substr(1)) || first.size() > 10 || std::stoi(first.substr(1)) < 1)
            return bad("connection is not #1, #2, ...: " + first);
        record->connection = std::stoi(first.substr(1));
    } else {
        p = before;
    }
    const std::size_t event_at = p;
    const std::string event = next_word();
    if (event == "connect" || event == "disconnect" || event == "dropped") {
        std::string rest = line.substr(p);
        rest.erase(0, rest.find_first_not_of(" \t"));
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
        if (event == "connect") {
            record->event = CaptureEvent::Connect;
            record->socket_path = rest;
        } else if (event == "disconnect") {
            record->event = CaptureEvent::Disconnect;
        } else {
            record->event = CaptureEvent::Dropped;
            if (!all_digits(rest) || rest.size() > 18) return bad("expected dropped N: " + rest);
            record->dropped = std::stoull(rest);
        }
        return LineKind::Record;
    }
    p = event_at;

    // direction, marker, content
    std::string words[3];
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
    // The library does not examine the agent's trailer, but a capture keeps
    // the bytes of a frame whose trailer is not the checksum as they were,
    // so that the dump can flag it.
    const bool sum_ok =
        piece.is_frame && piece.raw.back() == frame_checksum(piece.id, piece.payload.data(), piece.payload.size());
    if (framed && sum_ok) {
        r.id = piece.id;
        r.payload = piece.payload;
    } else {
        r.valid = false;
        r.raw = piece.raw;
    }
    return r;
}

CaptureRecord connect_record(int connection, const std::string &socket_path, int64_t stamp_us) {
    CaptureRecord r;
    r.stamp_us = stamp_us;
    r.event = CaptureEvent::Connect;
    r.connection = connection;
    r.socket_path = socket_path;
    return r;
}

CaptureRecord disconnect_record(int connection, int64_t stamp_us) {
    CaptureRecord r;
    r.stamp_us = stamp_us;
    r.event = CaptureEvent::Disconnect;
    r.connection = connection;
    return r;
}

LineRead read_line(std::istream &in, std::string *line, std::size_t limit) {
    // The bytes up to the newline, a piece at a time, through the one line
    // splitter the tools share (the followers feed it what they read); get()
    // never takes the newline itself, so nothing past this line is consumed.
    line->clear();
    mcu_cli::LineReader reader(limit);
    char piece[8192];
    bool any = false;
    for (;;) {
        in.get(piece, sizeof piece, '\n');
        if (in.gcount() > 0) {
            any = true;
            reader.feed(piece, static_cast<std::size_t>(in.gcount()));
            reader.next(line);  // none yet: drops what is over the limit
        }
        if (in.eof() || in.bad()) break;
        in.clear();  // get() found the newline at once: an empty piece
        if (in.peek() != '\n') {
            if (in.eof()) break;
            continue;  // the piece was full: more of the line follows
        }
        in.ignore(1);
        reader.feed("\n", 1);
        return reader.next(line) == mcu_cli::LineReader::Got::TooLong ? LineRead::TooLong : LineRead::Line;
    }
    // The input ended: its last line had no newline.
    in.setstate(any ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
    if (!any) return LineRead::End;
    return reader.rest(line) == mcu_cli::LineReader::Got::TooLong ? LineRead::TooLong : LineRead::Line;
}

namespace {

bool read_capture_lines(std::istream &in, const std::string &name, std::vector<CaptureRecord> *records,
                        std::string *error) {
    records->clear();
    std::string line, why;
    for (int number = 1;; ++number) {
        const LineRead got = read_line(in, &line);
        if (got == LineRead::End) break;
        if (got == LineRead::TooLong) {
            *error = name + ":" + std::to_string(number) + ": longer than " + std::to_string(kMaxCaptureLine) +
                     " bytes: not a capture line";
            return false;
        }
        CaptureRecord r;
        switch (parse_capture(line, &r, &why)) {
            case LineKind::Comment: break;
            case LineKind::Bad: *error = name + ":" + std::to_string(number) + ": " + why; return false;
            case LineKind::Record: records->push_back(std::move(r)); break;
        }
    }
    return true;
}

}  // namespace

bool read_capture_file(const std::string &path, std::vector<CaptureRecord> *records, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return read_capture_lines(in, path, records, error);
}

bool read_capture_text(const std::string &text, const std::string &name, std::vector<CaptureRecord> *records,
                       std::string *error) {
    std::istringstream in(text);
    return read_capture_lines(in, name, records, error);
}

int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace mcu_protocol
