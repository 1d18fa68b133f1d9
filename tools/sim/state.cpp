// state.cpp - the virtual MCU's state: values checked against the fields
// that carry them and the keys' ranges, and the running clock.
#include "state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "codec.h"
#include "description.h"
#include "frame.h"
#include "words.h"

namespace mcu_sim {

namespace {

using mcu_protocol::Bytes;

// What a value of `key` may be, from the fields that carry it.
struct Limits {
    unsigned bits = 32;                 // Number keys, and each element of Numbers
    std::size_t max_count = 255;        // elements of Numbers, bytes of Bytes and Text
    std::string where;                  // "blower_level of MCU_MSG_RET_HVAC_INFO"
};

Limits limits_of(const std::string &key) {
    Limits l;
    for (const KeyField &kf : key_fields()) {
        if (key != kf.key) continue;
        const mcu_protocol::Message *m = mcu_protocol::find_message(kf.message);
        if (!m) continue;
        std::size_t count = 0;
        const mcu_protocol::Field *field = nullptr;
        for (const mcu_protocol::Layout &layout : m->layouts) {
            const mcu_protocol::Field *f = mcu_protocol::find_field(layout, kf.field);
            if (!f) continue;
            field = f;
            std::size_t n = f->count == mcu_protocol::Count::Fixed
                                ? f->count_value
                                : (mcu_protocol::kMaxPayload - f->pos) / (f->kind == mcu_protocol::Kind::Numbers ? f->width : 1u);
            if (f->limit && f->kind != mcu_protocol::Kind::Number) n = std::min<std::size_t>(n, f->limit);
            count = std::max(count, n);
        }
        if (!field) continue;
        if (field->kind == mcu_protocol::Kind::Number || field->kind == mcu_protocol::Kind::Numbers)
            l.bits = std::min(l.bits, mcu_protocol::rule_of(*field).bits);
        if (field->kind != mcu_protocol::Kind::Number) l.max_count = std::min(l.max_count, count);
        if (l.where.empty()) l.where = std::string(kf.field) + " of " + kf.message;
    }
    return l;
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string join(const std::vector<uint32_t> &v) {
    std::string s;
    for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

// A Number, Numbers or Bytes value read through the same rules as a
// payload field.
bool parse_through_field(const KeyInfo &info, mcu_protocol::Kind kind, const std::string &text,
                         mcu_protocol::Value *v, std::string *error) {
    mcu_protocol::Field f;
    f.name = info.key;
    f.kind = kind;
    f.width = 4;
    if (info.enumeration) f.enumeration = mcu_protocol::find_enumeration(info.enumeration);
    return mcu_protocol::parse_value(f, text, v, error);
}

}  // namespace

State::State() : now_ms_(steady_ms) {
    for (const KeyInfo &k : keys()) {
        Entry &e = entries_[k.key];
        e.info = &k;
        std::string error;
        if (!set(k.key, k.initial, &error)) {
            std::fprintf(stderr, "mcu-agent-sim: bad default of %s: %s\n", k.key, error.c_str());
            std::abort();
        }
    }
}

mcu_protocol::NumberRule State::rule(const std::string &key) {
    mcu_protocol::NumberRule r;
    const Limits limits = limits_of(key);
    r.bits = limits.bits;
    r.where = limits.where;
    if (const KeyInfo *k = key_info(key)) {
        if (k->enumeration) r.enumeration = mcu_protocol::find_enumeration(k->enumeration);
        if (k->range.documented) {
            r.ranged = true;
            r.low = k->range.low;
            r.high = k->range.high;
            r.where.clear();  // the documented range is the reason, not the field
        }
    }
    return r;
}

std::string State::check_number(const std::string &key, int64_t value) {
    mcu_protocol::NumberRule r = rule(key);
    const KeyInfo *k = key_info(key);
    if (k && r.enumeration) {
        mcu_protocol::Value initial;
        std::string ignored;
        if (parse_through_field(*k, mcu_protocol::Kind::Number, k->initial, &initial, &ignored) &&
            static_cast<int64_t>(initial.number) == value)
            r.enumeration = nullptr;
    }
    return mcu_protocol::check_number(key, r, value);
}

std::string State::describe(const KeyInfo &k) {
    if (k.type != KeyType::Number && k.type != KeyType::Numbers) return k.help;
    if (k.enumeration) return k.help;  // the members say it
    mcu_protocol::NumberRule r = rule(k.key);
    return std::string(k.help) + ", " + std::to_string(r.lowest()) + " to " + std::to_string(r.highest());
}

State::Entry &State::entry(const std::string &key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        std::fprintf(stderr, "mcu-agent-sim: no state key %s\n", key.c_str());
        std::abort();
    }
    return it->second;
}

const State::Entry &State::entry(const std::string &key) const { return const_cast<State *>(this)->entry(key); }

bool State::set(const std::string &key, const std::string &text, std::string *error) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        *error = "no state key " + key;
        return false;
    }
    Entry &e = it->second;
    mcu_protocol::Value v;
    const Limits limits = limits_of(key);
    const std::string where = limits.where.empty() ? "" : " (" + limits.where + ")";
    auto too_long = [&](std::size_t n, const char *unit) {
        if (n <= limits.max_count) return false;
        *error = key + ": " + std::to_string(n) + " " + unit + ", at most " + std::to_string(limits.max_count) + where;
        return true;
    };
    switch (e.info->type) {
        case KeyType::Number: {
            if (!parse_through_field(*e.info, mcu_protocol::Kind::Number, text, &v, error)) return false;
            *error = check_number(key, v.number);
            if (!error->empty()) return false;
            e.number = v.number;
            return true;
        }
        case KeyType::Numbers:
            if (!parse_through_field(*e.info, mcu_protocol::Kind::Numbers, text, &v, error)) return false;
            if (too_long(v.numbers.size(), "numbers")) return false;
            for (uint32_t n : v.numbers) {
                *error = mcu_protocol::check_number(key, rule(key), n);
                if (!error->empty()) return false;
            }
            e.numbers = v.numbers;
            return true;
        case KeyType::Bytes:
            if (!parse_through_field(*e.info, mcu_protocol::Kind::Bytes, text, &v, error)) return false;
            if (too_long(v.bytes.size(), "bytes")) return false;
            e.bytes = v.bytes;
            return true;
        case KeyType::Text:
            if (too_long(text.size(), "characters")) return false;
            e.bytes.assign(text.begin(), text.end());
            return true;
        case KeyType::Clock: {
            int64_t seconds = 0;
            if (text == "now") {
                seconds = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
            } else if (!parse_clock(text, &seconds)) {
                *error = key + ": not YYYY-MM-DD HH:MM:SS: " + text;
                return false;
            }
            set_clock(seconds);
            return true;
        }
    }
    return false;
}

bool State::get(const std::string &key, std::string *text) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    const Entry &e = it->second;
    switch (e.info->type) {
        case KeyType::Number: {
            const mcu_protocol::Enumeration *en =
                e.info->enumeration ? mcu_protocol::find_enumeration(e.info->enumeration) : nullptr;
            const std::string name = en ? mcu_protocol::enum_name(*en, e.number) : "";
            *text = name.empty() ? std::to_string(e.number) : name;
            return true;
        }
        case KeyType::Numbers: *text = join(e.numbers); return true;
        case KeyType::Bytes: *text = mcu_protocol::hex(e.bytes); return true;
        case KeyType::Text: text->assign(e.bytes.begin(), e.bytes.end()); return true;
        case KeyType::Clock: *text = format_clock(clock()); return true;
    }
    return false;
}

uint32_t State::number(const std::string &key) const { return entry(key).number; }
void State::set_number(const std::string &key, uint32_t value) { entry(key).number = value; }
const std::vector<uint32_t> &State::numbers(const std::string &key) const { return entry(key).numbers; }
void State::set_numbers(const std::string &key, std::vector<uint32_t> values) { entry(key).numbers = std::move(values); }
const std::vector<uint8_t> &State::bytes(const std::string &key) const { return entry(key).bytes; }
void State::set_bytes(const std::string &key, std::vector<uint8_t> values) { entry(key).bytes = std::move(values); }

int64_t State::clock() const {
    const Entry &e = entry("rtc.time");
    return e.clock_seconds + (now_ms_() - e.clock_set_ms) / 1000;
}

void State::set_clock(int64_t seconds) {
    Entry &e = entry("rtc.time");
    e.clock_seconds = seconds;
    e.clock_set_ms = now_ms_();
}

void State::set_time_source(std::function<int64_t()> now_ms) {
    const int64_t running = clock();
    now_ms_ = std::move(now_ms);
    set_clock(running);
}

std::string format_clock(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool parse_clock(const std::string &text, int64_t *seconds) {
    int y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
    if (y < 1970 || y > 65535 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || h < 0 ||
        mi < 0 || s < 0)
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const std::time_t t = timegm(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    // 31 February and the like roll over in timegm; refuse them.
    std::tm back{};
    gmtime_r(&t, &back);
    if (back.tm_mday != d || back.tm_mon != mo - 1) return false;
    *seconds = t;
    return true;
}

}  // namespace mcu_sim
