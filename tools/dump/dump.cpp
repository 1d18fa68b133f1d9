// dump.cpp - capture lines and hex frames in words.
#include "dump.h"

#include <string>

#include "capture.h"
#include "frame.h"
#include "words.h"

namespace mcu_dump {

namespace {

using namespace mcu_protocol;

void pieces(FrameScanner &scanner, std::ostream &out, DumpOptions &options, bool flush) {
    for (;;) {
        auto piece = flush ? scanner.flush() : scanner.next();
        if (!piece) return;
        const bool shown = piece->is_frame ? options.view.shows(piece->direction, piece->id)
                                           : options.view.shows_unframed(piece->direction);
        if (shown) out << piece_words(*piece, options.verbose) << '\n';
    }
}

// The stamp as -t asks, then the connection and the direction.
std::string prefix(const CaptureRecord &r, DumpOptions &options) {
    const std::string stamp = options.view.stamp(r.stamp_us);
    return stamp + (r.connection ? " #" + std::to_string(r.connection) : std::string()) + ' ' +
           direction_word(r.direction);
}

// A capture's "!" line: bytes that were not a valid frame.  Says what they
// hold, keeping the "!" in place of the direction's ">".
void raw_line(const CaptureRecord &r, std::ostream &out, DumpOptions &options) {
    if (!options.view.shows_unframed(r.direction)) return;
    const std::string head = prefix(r, options);
    FrameScanner s;
    s.feed(r.raw.data(), r.raw.size());
    while (auto piece = s.flush()) {
        std::string words = piece_words(*piece, options.verbose);
        const std::string arrow = std::string(direction_word(piece->direction)) + " > ";
        if (words.rfind(arrow, 0) == 0) words = words.substr(arrow.size());
        if (words.rfind("? ", 0) == 0) words = words.substr(2);
        out << head << " ! " << words << '\n';
    }
}

}  // namespace

int dump_stream(std::istream &in, std::ostream &out, std::ostream &errors, const std::string &name,
                DumpOptions &options) {
    FrameScanner hex_stream;  // raw hex lines form one byte stream
    std::string line;
    int number = 0;
    int bad = 0;
    for (LineRead got; (got = read_line(in, &line)) != LineRead::End;) {
        ++number;
        if (got == LineRead::TooLong) {
            errors << name << ":" << number << ": longer than " << kMaxCaptureLine << " bytes, skipped\n";
            ++bad;
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (line[first] == '(') {
            pieces(hex_stream, out, options, true);
            CaptureRecord r;
            std::string error;
            if (parse_capture(line, &r, &error) != LineKind::Record) {
                errors << name << ":" << number << ": " << error << '\n';
                ++bad;
                continue;
            }
            if (r.event != CaptureEvent::Frame) {
                // connect, disconnect, dropped: words already, and shown
                // whatever the filters, as the frames' context
                const std::string line = format_capture(r);
                out << options.view.stamp(r.stamp_us) << line.substr(format_stamp(r.stamp_us).size()) << '\n';
            } else if (!r.valid) {
                raw_line(r, out, options);
            } else if (options.view.shows(r.direction, r.id)) {
                out << prefix(r, options) << " > " << frame_words(r.direction, r.id, r.payload, options.verbose)
                    << '\n';
            }
            continue;
        }
        Bytes bytes;
        if (!parse_hex(line, &bytes)) {
            errors << name << ":" << number << ": neither a capture line nor hex bytes\n";
            ++bad;
            continue;
        }
        hex_stream.feed(bytes.data(), bytes.size());
        pieces(hex_stream, out, options, false);
    }
    pieces(hex_stream, out, options, true);
    return bad;
}

}  // namespace mcu_dump
