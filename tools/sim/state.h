// state.h - the state of the virtual MCU: a fixed set of named keys
// ("audio_source", "radio.freq", "hvac.left_temp", ...), each a number
// (shown by enumeration name where it has one), a list of numbers, bytes,
// text or the clock.  Every key has a built-in default; a JSON file may
// set any of them, nested objects joining their names with dots:
//
//   {"audio_source": "AUDIO_SOURCE_AUX", "radio": {"freq": 10110}}
//
// The clock keeps running from the time it was last set.
#ifndef MCU_SIM_STATE_H
#define MCU_SIM_STATE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "value_check.h"

namespace mcu_sim {

enum class KeyType { Number, Numbers, Bytes, Text, Clock };

// The documented range of a Number key, narrower than the field that
// carries it: what the MCU accepts (a volume of 0 to 40 in an 8-bit field).
struct KeyRange {
    bool documented = false;
    uint32_t low = 0, high = 0;
};
constexpr KeyRange between(uint32_t low, uint32_t high) { return {true, low, high}; }

struct KeyInfo {
    const char *key;
    KeyType type;
    const char *enumeration;  // name of an enumeration of the description, or null
    const char *initial;      // the default, in the form `set` reads
    const char *help;
    KeyRange range = {};      // Number keys: the documented range, if any
};

// A key that a message field carries.
struct KeyField {
    const char *key;
    const char *message;
    const char *field;
    bool follows;  // the key takes the field's value when the message is sent
};
const std::vector<KeyField> &key_fields();

class State {
public:
    State();

    // Every key, in table order.
    static const std::vector<KeyInfo> &keys();
    static const KeyInfo *key_info(const std::string &key);
    // What a Number key (or each element of a Numbers key) may hold: the
    // width of the field that carries it, its enumeration and its
    // documented range.  Every value the state takes from outside is
    // checked against it.
    static mcu_protocol::NumberRule rule(const std::string &key);
    // Empty when `value` may stand in `key`, else why not.  The built-in
    // default stands even outside the key's enumeration (0 for "none").
    static std::string check_number(const std::string &key, int64_t value);
    // The help of a number key with its range: "main volume, 0 to 40"
    // (without it for an enumerated key, whose members say it).
    static std::string describe(const KeyInfo &key);

    // Every value is checked as `set` checks it; the error names the key.
    bool load_json(const std::string &text, std::string *error);
    // Every key as a JSON object that load_json reads back.
    std::string to_json() const;
    // Reads `text` as the key's value: an enumeration name or a number, a
    // list "1,2,3", hex bytes "0A0B", text, or the clock as
    // "YYYY-MM-DD HH:MM:SS" (or "now").  The value must fit the field that
    // carries the key (width, bit field, length) and be a member of the
    // key's enumeration; otherwise the error names the key and the range.
    bool set(const std::string &key, const std::string &text, std::string *error);
    // The value in the form `set` reads; false when there is no such key.
    bool get(const std::string &key, std::string *text) const;

    uint32_t number(const std::string &key) const;
    void set_number(const std::string &key, uint32_t value);
    const std::vector<uint32_t> &numbers(const std::string &key) const;
    void set_numbers(const std::string &key, std::vector<uint32_t> values);
    const std::vector<uint8_t> &bytes(const std::string &key) const;  // Bytes and Text keys
    void set_bytes(const std::string &key, std::vector<uint8_t> values);

    // The clock, as seconds since 1970-01-01 00:00:00 of the car's own
    // (zone-less) time, running.
    int64_t clock() const;
    void set_clock(int64_t seconds);

    // Replaces the monotonic time source (milliseconds); tests use it to
    // move time on.
    void set_time_source(std::function<int64_t()> now_ms);

private:
    struct Entry {
        const KeyInfo *info = nullptr;
        uint32_t number = 0;
        std::vector<uint32_t> numbers;
        std::vector<uint8_t> bytes;
        int64_t clock_seconds = 0;
        int64_t clock_set_ms = 0;
    };
    Entry &entry(const std::string &key);
    const Entry &entry(const std::string &key) const;
    bool load_member(const std::string &key, const nlohmann::ordered_json &value, std::string *error);

    std::map<std::string, Entry> entries_;
    std::function<int64_t()> now_ms_;
};

// "YYYY-MM-DD HH:MM:SS" <-> seconds since 1970 (no time zone).
std::string format_clock(int64_t seconds);
bool parse_clock(const std::string &text, int64_t *seconds);

}  // namespace mcu_sim

#endif  // MCU_SIM_STATE_H
