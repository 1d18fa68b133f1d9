// make_corpus.cpp - writes the seed corpus of both fuzz harnesses:
//   make_corpus <dir>   writes <dir>/frame_stream/* and <dir>/ring_ops/*
// (the build target fuzz_seed_corpus runs it on fuzz/corpus).
//
// frame_stream seeds: for every id with a decoding rule and a few without
// one, frames of that id at the payload lengths the rules distinguish, at
// the limits and with small first bytes; all ids back to back; garbage between frames; bursts of
// the largest frames that fill the ring; a frame cut off at the end.
// ring_ops seeds: short programs that reach each operation and limit.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent_server.h"
#include "protocol.h"

namespace fs = std::filesystem;
using mcu_agent_test::Bytes;
using mcu_agent_test::inbound_frame;

namespace {

void append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void write_file(const fs::path &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A payload whose bytes differ from frame to frame and position to
// position.
Bytes pattern(uint8_t id, std::size_t length) {
    Bytes p(length);
    for (std::size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(id + 7 * i + length);
    return p;
}

// A frame_stream input: chunking seed, ring start position, stream.
Bytes stream_input(uint8_t seed, uint16_t start, const Bytes &stream) {
    Bytes in = {seed, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start)};
    append(in, stream);
    return in;
}

void write_frame_stream(const fs::path &dir) {
    fs::create_directories(dir);
    // Lengths that the rules tell apart (record sizes, the preset lengths
    // 26, 30 and 50, the 128-byte blocks) and the limits 0 and 255.
    const std::size_t lengths[] = {0, 1, 2, 3, 5, 7, 8, 20, 26, 30, 50, 64, 128, 129, 255};
    std::vector<uint8_t> ids;
    for (const mcu_agent::protocol::Message &m : mcu_agent::protocol::messages()) ids.push_back(m.id);
    for (uint8_t raw : {0x00, 0x02, 0x07, 0x80, 0xFF}) ids.push_back(raw);  // decoded by the raw rule
    for (uint8_t id : ids) {
        Bytes stream;
        for (std::size_t length : lengths) append(stream, inbound_frame(id, pattern(id, length)));
        append(stream, inbound_frame(id, Bytes(5, 0xAA)));
        append(stream, inbound_frame(id, Bytes(255, 0xFF)));
        // Small first bytes, where rules branch on a type or mode byte.
        for (uint8_t p0 = 0; p0 < 16; ++p0) append(stream, inbound_frame(id, {p0, static_cast<uint8_t>(0x1F + p0), 0x10}));
        char name[32];
        std::snprintf(name, sizeof name, "id_%02X", id);
        write_file(dir / name, stream_input(id, static_cast<uint16_t>(id * 37 % 2048), stream));
    }

    Bytes all;
    for (int id = 0; id < 256; ++id)
        append(all, inbound_frame(static_cast<uint8_t>(id), pattern(static_cast<uint8_t>(id), id % 40)));
    write_file(dir / "all_ids", stream_input(1, 0, all));

    Bytes garbage;
    const Bytes runs[] = {{0x00}, {0xAB}, {0xAB, 0xAB, 0x01}, {0xBA, 0xAB, 0x00, 0x00}, Bytes(300, 0x55), {0x11, 0xAB}};
    for (const Bytes &run : runs) {
        append(garbage, inbound_frame(0x21, {0x01}));
        append(garbage, run);
    }
    append(garbage, inbound_frame(0x21, {0x02}));
    write_file(dir / "garbage_between_frames", stream_input(2, 2000, garbage));

    Bytes burst;
    for (int i = 0; i < 24; ++i) append(burst, inbound_frame(0xFD, pattern(static_cast<uint8_t>(i), 255)));
    write_file(dir / "burst_of_largest_frames", stream_input(7, 2047, burst));

    Bytes cut = inbound_frame(0x13, pattern(0x13, 8));
    const Bytes last = inbound_frame(0x81, pattern(0x81, 40));
    cut.insert(cut.end(), last.begin(), last.begin() + 20);
    write_file(dir / "frame_cut_at_the_end", stream_input(3, 100, cut));
}

// ring_ops program builders (see ring_ops_fuzzer.cpp for the encoding).
void push(Bytes &program, const Bytes &bytes) {
    program.push_back(0);
    program.push_back(static_cast<uint8_t>(bytes.size()));
    append(program, bytes);
}
void push_large(Bytes &program, uint16_t n) { append(program, {3, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}); }
void pop(Bytes &program) { program.push_back(4); }
void pop_all(Bytes &program) { program.push_back(6); }
void reinit_at(Bytes &program, uint16_t start, bool use_freed) {
    append(program, {static_cast<uint8_t>(use_freed ? 0x87 : 0x07), static_cast<uint8_t>(start >> 8),
                     static_cast<uint8_t>(start)});
}

void write_ring_ops(const fs::path &dir) {
    fs::create_directories(dir);
    Bytes frames;
    push(frames, inbound_frame(0x04, {0x12}));
    push(frames, inbound_frame(0x13, pattern(0x13, 8)));
    pop(frames);
    pop(frames);
    pop(frames);
    write_file(dir / "push_and_pop_frames", frames);

    Bytes wrap;
    reinit_at(wrap, 2045, false);
    push(wrap, inbound_frame(0x21, {0x07}));
    const Bytes big = inbound_frame(0xFD, pattern(0xFD, 200));
    push(wrap, Bytes(big.begin(), big.begin() + 100));
    pop(wrap);
    push(wrap, Bytes(big.begin() + 100, big.end()));
    pop_all(wrap);
    write_file(dir / "frames_across_the_wrap", wrap);

    Bytes limits;
    push_large(limits, 2048);
    push(limits, {0xAB});
    push_large(limits, 2049);
    pop_all(limits);
    push_large(limits, 2100);
    write_file(dir / "capacity_limits", limits);

    Bytes garbage;
    push(garbage, {0x00, 0xAB, 0x01, 0xAB});
    pop(garbage);
    push(garbage, {0xBA, 0x00, 0x00, 0x27, 0x01, 0x01, 0x00});
    pop_all(garbage);
    write_file(dir / "garbage_then_frame", garbage);

    Bytes freed;
    push(freed, inbound_frame(0x04, {0x01}));
    reinit_at(freed, 7, true);
    push(freed, inbound_frame(0x04, {0x02}));
    pop_all(freed);
    write_file(dir / "free_and_init_again", freed);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    write_frame_stream(fs::path(argv[1]) / "frame_stream");
    write_ring_ops(fs::path(argv[1]) / "ring_ops");
    return 0;
}
