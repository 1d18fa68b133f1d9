// description.h - the link protocol between the application and the agent,
// written once as data: every command id and message id with its name, and
// every payload as a list of fields (position, width, byte order, bit field,
// enumeration) together with the place where the library's decoder puts
// each field in PACKET_MSG.data.  The virtual MCU, the dump and the tests
// read these tables; none of them repeats a position or an id.
//
// Payload byte k is called Pk.  Numbers wider than one byte travel
// big-endian.  Message ids, enumeration values and record offsets come from
// the public header, so those numbers are written only there; this file
// adds their names as text.  Command ids are private to the library, so the
// description states them; a test holds the two together.
#ifndef MCU_PROTOCOL_DESCRIPTION_H
#define MCU_PROTOCOL_DESCRIPTION_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace mcu_protocol {

// A read-only view of a constexpr array.
template <typename T>
class Span {
public:
    constexpr Span() = default;
    template <std::size_t N>
    constexpr Span(const T (&array)[N]) : data_(array), size_(N) {}
    constexpr Span(const T *data, std::size_t size) : data_(data), size_(size) {}
    constexpr const T *begin() const { return data_; }
    constexpr const T *end() const { return data_ + size_; }
    constexpr std::size_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }
    constexpr const T &operator[](std::size_t i) const { return data_[i]; }

private:
    const T *data_ = nullptr;
    std::size_t size_ = 0;
};

struct EnumValue {
    uint32_t value;
    const char *name;
};

struct Enumeration {
    const char *name;
    Span<EnumValue> values;
};

enum class Kind : uint8_t {
    Number,     // unsigned integer: `width` bytes from `pos`, big-endian, then the bit field
    Bytes,      // a run of payload bytes, unchanged
    Text,       // a run of payload bytes that is text (shown quoted)
    Numbers,    // a run of numbers of `width` bytes each
    Length,     // the frame's length byte itself; takes no payload position
    NotFilled,  // 0 when every byte of P(pos)..P(pos+width-1) equals `fill`, otherwise 1
};

// Where the element count of Bytes, Text and Numbers comes from.
enum class Count : uint8_t {
    Fixed,  // `count`
    Rest,   // every payload byte from `pos` to the end of the payload
    Field,  // the value of the Number field named `count_field`
};

struct Field {
    const char *name = "";
    Kind kind = Kind::Number;
    uint8_t pos = 0;
    uint8_t width = 1;   // bytes of a Number (1 to 4), of one element of Numbers, or of a NotFilled span
    uint8_t shift = 0;   // bit field: lowest bit, counted in the `width`-byte number
    uint8_t bits = 0;    // bit field: number of bits; 0 means all of them
    const Enumeration *enumeration = nullptr;
    // Where the library's decoder stores the value in PACKET_MSG.data, and
    // in how many bytes (native byte order); -1 for outbound payloads.
    int16_t record_offset = -1;
    uint8_t record_width = 0;  // per element for Numbers
    Count count = Count::Fixed;
    uint8_t count_value = 0;
    const char *count_field = nullptr;
    // The decoder keeps at most `limit` (a Number's value, or the elements
    // of a counted run); 0 means no limit.
    uint16_t limit = 0;
    uint8_t fill = 0;  // NotFilled

    // Builders, so that table rows read as one line each.
    constexpr Field bit_field(uint8_t lowest, uint8_t count_bits) const {
        Field f = *this;
        f.shift = lowest;
        f.bits = count_bits;
        return f;
    }
    constexpr Field of(const Enumeration &e) const {
        Field f = *this;
        f.enumeration = &e;
        return f;
    }
    constexpr Field at(std::size_t offset, std::size_t size) const {
        Field f = *this;
        f.record_offset = static_cast<int16_t>(offset);
        f.record_width = static_cast<uint8_t>(size);
        return f;
    }
    constexpr Field counted_by(const char *field_name) const {
        Field f = *this;
        f.count = Count::Field;
        f.count_field = field_name;
        return f;
    }
    constexpr Field at_most(uint16_t n) const {
        Field f = *this;
        f.limit = n;
        return f;
    }
};

// A field of `width` bytes, big-endian, at Ppos.
constexpr Field number(const char *name, uint8_t pos, uint8_t width = 1) {
    Field f;
    f.name = name;
    f.pos = pos;
    f.width = width;
    return f;
}
// `count` bytes at Ppos.
constexpr Field bytes(const char *name, uint8_t pos, uint8_t count) {
    Field f = number(name, pos);
    f.kind = Kind::Bytes;
    f.count_value = count;
    return f;
}
// Every byte from Ppos to the end of the payload.
constexpr Field rest(const char *name, uint8_t pos) {
    Field f = number(name, pos);
    f.kind = Kind::Bytes;
    f.count = Count::Rest;
    return f;
}
constexpr Field text(Field f) {
    f.kind = Kind::Text;
    return f;
}
// `count` numbers of `width` bytes each from Ppos.
constexpr Field numbers(const char *name, uint8_t pos, uint8_t width, uint8_t count) {
    Field f = number(name, pos, width);
    f.kind = Kind::Numbers;
    f.count_value = count;
    return f;
}
// The length byte as a field of the record.
constexpr Field length_byte(const char *name) {
    Field f = number(name, 0, 0);
    f.kind = Kind::Length;
    return f;
}
constexpr Field not_filled(const char *name, uint8_t pos, uint8_t span, uint8_t fill) {
    Field f = number(name, pos, span);
    f.kind = Kind::NotFilled;
    f.fill = fill;
    return f;
}

// Which of several layouts of one id a frame has.
struct Selector {
    enum class By : uint8_t { Always, Length, Byte };
    By by = By::Always;
    uint8_t pos = 0;    // Byte: the payload position
    uint8_t value = 0;  // Length: the length byte; Byte: the byte's value
};
constexpr Selector always() { return {}; }
constexpr Selector length_is(uint8_t n) { return {Selector::By::Length, 0, n}; }
constexpr Selector byte_is(uint8_t pos, uint8_t value) { return {Selector::By::Byte, pos, value}; }

struct Layout {
    const char *name;  // "" when the id has one layout
    Selector when;
    uint8_t min_length;  // the payload length a frame of this layout takes,
    uint8_t max_length;  // from min to max
    Span<Field> fields;
    // PACKET_MSG.size as the library sets it: -1 for the length byte.
    int16_t packet_size = -1;
};

struct Command {
    uint8_t id;
    const char *name;
    Span<Layout> layouts;
    // The message that answers it (a request and its answer share a
    // number), or -1.
    int16_t answer = -1;
};

struct Message {
    uint8_t id;
    const char *name;
    const char *record;  // the record type at the start of PACKET_MSG.data
    Span<Layout> layouts;
};

Span<Command> commands();
Span<Message> messages();
Span<const Enumeration *> enumerations();

const Command *find_command(uint8_t id);
const Message *find_message(uint8_t id);
// By full name, or by the name without its MCU_CMD_ / MCU_MSG_ prefix.
const Command *find_command(const char *name);
const Message *find_message(const char *name);
const Enumeration *find_enumeration(const char *name);

// Enumeration lookups.  The name of a value that several members share
// (every HVAC_DIAG_KEY_ID release code) reads as the members' common
// pattern, for instance KEY_*_RELEASE.
// enum_name is empty for a value that no member has; enum_value reads the
// pattern too.
bool enum_value(const Enumeration &e, const char *name, uint32_t *value);
std::string enum_name(const Enumeration &e, uint32_t value);

// The outbound frame's lead bytes and the inbound frame's; the frame head
// is lead bytes, two unused bytes, id and length.
constexpr uint8_t kOutboundLead0 = 0xBA;
constexpr uint8_t kOutboundLead1 = 0xAB;
constexpr uint8_t kInboundLead0 = 0xAB;
constexpr uint8_t kInboundLead1 = 0xBA;
constexpr std::size_t kHeadSize = 6;
constexpr std::size_t kFrameOverhead = 7;  // head and the closing byte
constexpr std::size_t kMaxPayload = 255;

}  // namespace mcu_protocol

#endif  // MCU_PROTOCOL_DESCRIPTION_H
