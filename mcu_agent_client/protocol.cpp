// protocol.cpp - lookups in the protocol rows (protocol_rows.h) and the
// compile-time checks on them.
#include "protocol.h"

#include <array>
#include <iterator>

#include "protocol_rows.h"

namespace mcu_agent::protocol {

namespace {

// ---- checks on the rows and the id indexes ---------------------------

constexpr bool same_text(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// A run counted by a field follows that field directly, so the decoder
// takes the count from the value it read just before.
constexpr bool counts_precede(Span<Layout> layouts) {
    for (const Layout &l : layouts)
        for (std::size_t i = 0; i < l.fields.size(); ++i)
            if (l.fields[i].count == Count::Field &&
                (i == 0 || l.fields[i - 1].kind != Kind::Number ||
                 !same_text(l.fields[i - 1].name, l.fields[i].count_field)))
                return false;
    return true;
}

constexpr bool every_count_precedes() {
    for (const Message &m : kMessages)
        if (!counts_precede(m.layouts)) return false;
    for (const Command &c : kCommands)
        if (!counts_precede(c.layouts)) return false;
    return true;
}
static_assert(every_count_precedes(), "a counted run must directly follow the field that counts it");

// The key bit field's rows: every row starts inside the five payload
// bytes and reads a whole HVAC_STATUS member of 1 or 4 bytes.
constexpr bool hvac_key_rows_fit() {
    for (const Field &f : kHvacStatus)
        if (f.pos >= 5 || f.shift > 7 || f.record_offset < 0 ||
            f.record_offset + f.record_width > static_cast<int>(sizeof(HVAC_STATUS)) ||
            (f.record_width != 1 && f.record_width != 4))
            return false;
    return std::size(kHvacStatus) == 24;
}
static_assert(hvac_key_rows_fit(), "every HVAC_STATUS member is sent from inside the 5-byte payload");

// Row numbers by id; kNone where an id has no row.
constexpr uint8_t kNone = 0xFF;

template <typename Row, std::size_t N>
constexpr std::array<uint8_t, 256> index_by_id(const Row (&rows)[N]) {
    static_assert(N < kNone, "row numbers fit a byte");
    std::array<uint8_t, 256> index{};
    for (auto &i : index) i = kNone;
    for (std::size_t r = 0; r < N; ++r) index[rows[r].id] = static_cast<uint8_t>(r);
    return index;
}

template <typename Row, std::size_t N>
constexpr bool ids_unique(const Row (&rows)[N]) {
    for (std::size_t a = 0; a < N; ++a)
        for (std::size_t b = a + 1; b < N; ++b)
            if (rows[a].id == rows[b].id) return false;
    return true;
}
static_assert(ids_unique(kCommands), "one row per command id");
static_assert(ids_unique(kMessages), "one row per message id");

constexpr std::array<uint8_t, 256> kCommandIndex = index_by_id(kCommands);
constexpr std::array<uint8_t, 256> kMessageIndex = index_by_id(kMessages);

}  // namespace

Span<Command> commands() { return kCommands; }
Span<Message> messages() { return kMessages; }
Span<const Enumeration *> enumerations() { return kEnumerations; }

const Command *find_command(uint8_t id) {
    const uint8_t row = kCommandIndex[id];
    return row == kNone ? nullptr : &kCommands[row];
}

const Message *find_message(uint8_t id) {
    const uint8_t row = kMessageIndex[id];
    return row == kNone ? nullptr : &kMessages[row];
}

}  // namespace mcu_agent::protocol
