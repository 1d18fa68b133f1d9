// decode.cpp - the decoder: a message's rows in the protocol description
// turn a popped frame into the record that PACKET_MSG.data holds.  The
// rows say everything (position, width, bit field, runs and their counts,
// limits, record offset); the compiler makes each message's decoder from
// them, so there is no hand-written code per message.
#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "internal.h"
#include "protocol_rows.h"

namespace mcu_agent {

namespace {

using namespace protocol;

// The packet area a record may fill.
constexpr std::size_t kRecordRoom = sizeof PACKET_MSG::data;

// A big-endian number of `width` bytes from Ppos, then its bit field.
inline uint32_t read_number(const Field &f, Frame frame, std::size_t pos) {
    const int k = static_cast<int>(pos);
    uint32_t v;
    switch (f.width) {
        case 1: v = frame.p(k); break;
        case 2: v = frame.be16(k); break;
        case 4: v = frame.be32(k); break;
        default:
            v = 0;
            for (int i = 0; i < f.width; ++i) v = v << 8 | frame.p(k + i);
            break;
    }
    if (f.bits) v = (v >> f.shift) & ((f.bits >= 32 ? 0u : 1u << f.bits) - 1u);
    return v;
}

// Stores the low `width` bytes of v in native order: the record's own
// integer of that width.
inline void store(uint8_t *to, uint32_t v, std::size_t width) {
    switch (width) {
        case 1: *to = static_cast<uint8_t>(v); break;
        case 2: {
            const uint16_t n = static_cast<uint16_t>(v);
            std::memcpy(to, &n, sizeof n);
            break;
        }
        case 4: std::memcpy(to, &v, sizeof v); break;
        default: std::memcpy(to, &v, std::min<std::size_t>(width, sizeof v)); break;
    }
}

// Copies a byte run of a record.  Runs of up to 16 bytes (version texts,
// vehicle numbers) are moved as two overlapping words of a fixed size,
// which the compiler does in registers; a library call for a few bytes
// would cost more than the rest of the message.
inline void copy_run(uint8_t *to, const uint8_t *from, std::size_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + n - 4, &tail, 4);
    } else if (n >= 2) {
        uint16_t head, tail;
        std::memcpy(&head, from, 2);
        std::memcpy(&tail, from + n - 2, 2);
        std::memcpy(to, &head, 2);
        std::memcpy(to + n - 2, &tail, 2);
    } else if (n == 1) {
        *to = *from;
    }
}

// ---- one decoder per message, made from its rows by the compiler ----
//
// Every property of a row is a constant here, so each message's decoder
// comes out as straight-line code, as a hand-written one would be: no
// loop over rows and no branch on a row's kind at run time.

template <std::size_t M, std::size_t L, std::size_t F>
inline void decode_field(Frame frame, PACKET_MSG *packet, uint32_t &previous) {
    constexpr const Field &f = kMessages[M].layouts[L].fields[F];
    if constexpr (f.kind == Kind::Number) previous = read_number(f, frame, f.pos);
    if constexpr (f.record_offset >= 0) {
        uint8_t *to = packet->data + f.record_offset;
        constexpr std::size_t room = kRecordRoom - static_cast<std::size_t>(f.record_offset);
        if constexpr (f.kind == Kind::Number) {
            const uint32_t kept = f.limit && previous > f.limit ? f.limit : previous;
            store(to, kept, f.record_width);
        } else if constexpr (f.kind == Kind::Length) {
            store(to, frame.length(), f.record_width);
        } else if constexpr (f.kind == Kind::NotFilled) {
            bool filled = true;
            for (std::size_t i = 0; i < f.width; ++i) filled = filled && frame.p(f.pos + i) == f.fill;
            store(to, filled ? 0 : 1, f.record_width);
        } else if constexpr (f.kind == Kind::Bytes || f.kind == Kind::Text) {
            copy_run(to, frame.payload() + f.pos, std::min(run_elements(f, frame.length(), previous), room));
        } else {
            const std::size_t n = std::min(run_elements(f, frame.length(), previous), room / f.record_width);
            for (std::size_t k = 0; k < n; ++k)
                store(to + k * f.record_width, read_number(f, frame, f.pos + k * f.width), f.record_width);
        }
    }
}

template <std::size_t M, std::size_t L, std::size_t... F>
inline void decode_fields(Frame frame, PACKET_MSG *packet, std::index_sequence<F...>) {
    uint32_t previous = 0;  // the last Number read, for a run it counts
    (decode_field<M, L, F>(frame, packet, previous), ...);
    (void)previous;
    constexpr int16_t size = kMessages[M].layouts[L].packet_size;
    if constexpr (size >= 0) packet->size = static_cast<uint8_t>(size);
}

// Decodes with layout L of message M when the frame has that layout.
template <std::size_t M, std::size_t L>
inline bool try_layout(Frame frame, PACKET_MSG *packet) {
    constexpr const Layout &l = kMessages[M].layouts[L];
    if constexpr (l.when.by == Selector::By::Length) {
        if (frame.length() != l.when.value) return false;
    } else if constexpr (l.when.by == Selector::By::Byte) {
        // Past the payload every byte reads zero, as a short frame's
        // missing byte would.
        if (l.when.pos >= frame.length() || frame.p(l.when.pos) != l.when.value) return false;
    }
    decode_fields<M, L>(frame, packet, std::make_index_sequence<l.fields.size()>{});
    return true;
}

bool decode_raw(Frame frame, PACKET_MSG *packet) {
    copy_run(packet->data, frame.payload(), frame.length());
    return false;
}

// The first layout whose selector matches, as the rows list them.
template <std::size_t M, std::size_t... L>
inline bool decode_layouts(Frame frame, PACKET_MSG *packet, std::index_sequence<L...>) {
    return (try_layout<M, L>(frame, packet) || ...) || decode_raw(frame, packet);
}

template <std::size_t M>
bool decode_message(Frame frame, PACKET_MSG *packet) {
    return decode_layouts<M>(frame, packet, std::make_index_sequence<kMessages[M].layouts.size()>{});
}

using Decoder = bool (*)(Frame, PACKET_MSG *);

template <std::size_t... M>
constexpr std::array<Decoder, 256> make_decoders(std::index_sequence<M...>) {
    std::array<Decoder, 256> decoders{};
    for (Decoder &d : decoders) d = decode_raw;
    ((decoders[kMessages[M].id] = &decode_message<M>), ...);
    return decoders;
}

// The decoder of every id: its message's, or the raw copy.
constexpr std::array<Decoder, 256> kDecoders = make_decoders(std::make_index_sequence<std::size(kMessages)>{});

}  // namespace

bool decode_frame(Frame frame, PACKET_MSG *packet) { return kDecoders[frame.id()](frame, packet); }

}  // namespace mcu_agent
