// protocol.h - the link protocol between the application and the agent,
// written once as constexpr data: every command and message id with its
// name, every enumeration with its members' names, and every payload as a
// list of fields (position, width, byte order, bit field, enumeration)
// together with the place where the decoder puts each field in
// PACKET_MSG.data.  This header has the row types, the command ids and
// the lookups; the rows are in protocol_rows.h.  The library decodes every
// message from these rows; the tools, the tests and the fuzzers read the
// same rows.
//
// Payload byte k is called Pk.  Numbers wider than one byte travel
// big-endian.  Message ids, enumeration values and record offsets come from
// the public header; command ids are private to the library and written
// here.  Nothing here allocates or throws: the rows are plain constants.
#ifndef MCU_AGENT_PROTOCOL_H
#define MCU_AGENT_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#include "mcu_agent_api.h"
#include "wire.h"

namespace mcu_agent {

// Outbound command ids.  A request and its answer share a number.
enum MCU_CMD_ID : uint32_t {
    MCU_CMD_HMI_STARTUP = 0x00,
    MCU_CMD_NAVI_STARTUP = 0x01,
    MCU_CMD_GET_SYNC = 0x02,
    MCU_CMD_GET_VERSION_INFO = 0x03,
    MCU_CMD_SET_HARD_KEY = 0x04,
    MCU_CMD_SET_TOUCH = 0x05,
    MCU_CMD_SET_ENGINEER_MODE = 0x06,
    MCU_CMD_SET_BEEP_TONE = 0x07,
    MCU_CMD_SET_POWEROFF_TIMER_DISP = 0x08,
    MCU_CMD_SET_SCREEN_SAVE_MODE = 0x09,
    MCU_CMD_RET_ALIVE = 0x0E,
    MCU_CMD_RET_VERSION_INFO = 0x0F,
    MCU_CMD_SET_AUDIO_POWER = 0x10,
    MCU_CMD_GET_AUDIO_POWER = 0x11,
    MCU_CMD_SET_RTC_CLOCK = 0x12,
    MCU_CMD_GET_RTC_CLOCK = 0x13,
    MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE = 0x14,
    MCU_CMD_SET_USB_POWER = 0x15,
    MCU_CMD_SET_SETUP_PARAM_INFO = 0x1E,
    MCU_CMD_GET_SETUP_PARAM_INFO = 0x1F,
    MCU_CMD_SET_AUDIO_SOURCE = 0x20,
    MCU_CMD_GET_AUDIO_SOURCE = 0x21,
    MCU_CMD_SET_AUDIO_SETTING_INFO = 0x22,
    MCU_CMD_GET_AUDIO_SETTING_INFO = 0x23,
    MCU_CMD_SET_AUDIO_AUX_GAIN = 0x24,
    MCU_CMD_GET_AUDIO_AUX_GAIN = 0x25,
    MCU_CMD_SET_AUDIO_BEEP = 0x26,
    MCU_CMD_GET_AUDIO_BEEP = 0x27,
    MCU_CMD_SET_AUDIO_SPEED_VOLUME = 0x28,
    MCU_CMD_GET_AUDIO_SPEED_VOLUME = 0x29,
    MCU_CMD_GET_AUDIO_SPEED = 0x2A,
    MCU_CMD_SET_AUDIO_NAVI_MIX_STATUS = 0x2B,
    MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS = 0x2D,
    MCU_CMD_GET_MAIN_DRIVER_ANSWER_STATUS = 0x2E,
    MCU_CMD_GET_AUX_PLUG_STATUS = 0x30,
    MCU_CMD_SET_ADJUST_VOLUME = 0x31,
    MCU_CMD_SET_ABSOLUTELY_VOLUME = 0x32,
    MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO = 0x3A,
    MCU_CMD_GET_AUDIO_FUNCTION_SWITCH_INFO = 0x3B,
    MCU_CMD_SET_RADIO_FREQ = 0x40,
    MCU_CMD_SET_RADIO_SEEK_UP = 0x41,
    MCU_CMD_SET_RADIO_SEEK_DOWN = 0x42,
    MCU_CMD_SET_RADIO_MANUAL_UP = 0x43,
    MCU_CMD_SET_RADIO_MANUAL_DOWN = 0x44,
    MCU_CMD_SET_RADIO_CTRL = 0x45,
    MCU_CMD_CALL_RADIO_PRESET_NUM = 0x46,
    MCU_CMD_SAVE_RADIO_PRESET_NUM = 0x47,
    MCU_CMD_CHANGE_RADIO_BAND = 0x48,
    MCU_CMD_RADIO_FASTSEEK_UP = 0x49,
    MCU_CMD_RADIO_FASTSEEK_DOWN = 0x4A,
    MCU_CMD_SAVE_RADIO_COLLECTED_INFO = 0x4B,
    MCU_CMD_RADIO_STATION_LIST_UPDATE = 0x4D,
    MCU_CMD_GET_RADIO_NOTIFY = 0x50,
    MCU_CMD_GET_RADIO_PRESET_INFO = 0x51,
    MCU_CMD_SET_RADIO_BAND_CHANGE_INFO = 0x52,
    MCU_CMD_SET_RADIO_STOP_CONDITIONS_INFO = 0x53,
    MCU_CMD_SET_RADIO_DIAGNOSE_INFO = 0x54,
    MCU_CMD_SET_RADIO_CURBAND_INFO = 0x55,
    MCU_CMD_GET_IGN_ON_OFF_STATUS = 0x7F,
    MCU_CMD_SET_PLAYER_RESUME_INFO = 0x80,
    MCU_CMD_GET_PLAYER_RESUME_INFO = 0x81,
    MCU_CMD_RET_PLAYER_PLAY_SKIP_STATUS = 0x83,
    MCU_CMD_RET_BLUETOOTH_STATUS = 0x90,
    MCU_CMD_SET_VIDEO_SOURCE = 0xA0,
    MCU_CMD_GET_VIDEO_SOURCE = 0xA1,
    MCU_CMD_SET_TFT_LANGUAGE = 0xA2,
    MCU_CMD_GET_TFT_LANGUAGE = 0xA3,
    MCU_CMD_SET_TFT_ILL_MODE = 0xA4,
    MCU_CMD_GET_TFT_ILL_MODE = 0xA5,
    MCU_CMD_SET_TFT_BACKLIGHT_STATUS = 0xA6,
    MCU_CMD_GET_TFT_BACKLIGHT_STATUS = 0xA7,
    MCU_CMD_SET_TFT_BRIGHTNESS = 0xA8,
    MCU_CMD_GET_TFT_BRIGHTNESS = 0xA9,
    MCU_CMD_SET_TFT_CONTRAST = 0xAA,
    MCU_CMD_GET_TFT_CONTRAST = 0xAB,
    MCU_CMD_SET_TFT_DAYNIGHTMODE = 0xAC,
    MCU_CMD_EXIT_AVM_SETTING_MENU = 0xB0,
    MCU_CMD_SET_AVM_SETTING_INFO = 0xB1,
    MCU_CMD_GET_AVM_SETTING_INFO = 0xB2,
    MCU_CMD_SET_AVM_DEFAULT_SETTING = 0xB3,
    MCU_CMD_SET_MHL_POP_TYPE = 0xC0,
    MCU_CMD_UPDATE_MAINBOARD_FIRMWARE = 0xD4,
    MCU_CMD_SET_CORE_BOARD_RESTART = 0xDB,
    MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING = 0xDC,
    MCU_CMD_SET_RECORD_PLAY_STATE = 0xDD,
    MCU_CMD_SET_SPEAKER_DIAG = 0xDE,
    MCU_CMD_SET_AVM_DATA_INFO = 0xF0,
    MCU_CMD_SET_ENHOST_CAN = 0xF6,
    MCU_CMD_SET_FCC_CAN = 0xF7,
    MCU_CMD_SET_RCC_CAN = 0xF8,
    MCU_CMD_SEND_HVAC_INFO = 0xFA,
    MCU_CMD_SEND_HVAC_DIAG_INFO = 0xFB,
    MCU_CMD_SEND_MCAN_INFO = 0xFD,
    MCU_CMD_MAX_ID = 0xFE,
};

namespace protocol {

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
    // Where the decoder stores a message's value in PACKET_MSG.data, and in
    // how many bytes (native byte order).  For a command, where the
    // request's record holds the value when the request function writes
    // the payload from the rows; otherwise -1.
    int16_t record_offset = -1;
    uint8_t record_width = 0;  // per element for Numbers
    Count count = Count::Fixed;
    uint8_t count_value = 0;
    const char *count_field = nullptr;
    // The decoder keeps at most `limit` (a Number's value, or the elements
    // of a counted run); 0 means no limit.
    uint16_t limit = 0;
    uint8_t fill = 0;  // NotFilled
    // The value that asks for nothing (a key released, an enumeration's
    // "none"), which a tool puts in a field the user left out.  A field
    // without one must be given: zero is a value like any other (a key
    // held down, a temperature of 0).
    bool has_neutral = false;
    uint32_t neutral = 0;

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
    constexpr Field rests_at(uint32_t value) const {
        Field f = *this;
        f.has_neutral = true;
        f.neutral = value;
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

// Elements of a Bytes, Text or Numbers run in a payload of `length` bytes:
// fixed, the rest of the payload, or `previous`, the value of the Number
// field just before the run (the rows are checked to count that way);
// never more than a payload holds, nor more than the run's limit.  Byte
// runs need no division: on the per-frame path a division costs more
// than the rest of a field.
constexpr std::size_t run_elements(const Field &f, std::size_t length, uint32_t previous) {
    const bool numbers = f.kind == Kind::Numbers;
    const std::size_t left = length > f.pos ? length - f.pos : 0;
    const std::size_t room = static_cast<std::size_t>(wire::kMaxPayload) - f.pos;
    std::size_t n = 0;
    switch (f.count) {
        case Count::Fixed: n = f.count_value; break;
        case Count::Rest: n = numbers ? left / f.width : left; break;
        case Count::Field: n = previous; break;
    }
    const std::size_t most = numbers ? room / f.width : room;
    if (n > most) n = most;
    return f.limit && n > f.limit ? f.limit : n;
}

// Every command, message and enumeration, and lookups by id.  The id
// lookups are one array index; a null result means no such id.
Span<Command> commands();
Span<Message> messages();
Span<const Enumeration *> enumerations();
const Command *find_command(uint8_t id);
const Message *find_message(uint8_t id);

}  // namespace protocol
}  // namespace mcu_agent

#endif  // MCU_AGENT_PROTOCOL_H
