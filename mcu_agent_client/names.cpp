// names.cpp - names for applications: the name of a message or command
// id, and a decoded message as one line of words, read back from the
// record through the same rows the decoder wrote it with.
#include <stdarg.h>
#include <stdio.h>

#include <algorithm>

#include "internal.h"

namespace mcu_agent {

namespace {

using namespace protocol;

// Appends to a caller's buffer snprintf-style: writes what fits, always
// terminates (when there is room for anything), and counts every byte the
// whole line takes.
class Line {
public:
    Line(char *buf, int size) : buf_(buf), size_(buf && size > 0 ? static_cast<std::size_t>(size) : 0) {}

    void put(char c) {
        if (length_ + 1 < size_) buf_[length_] = c;
        ++length_;
        terminate();
    }
    void put(const char *text, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) put(text[i]);
    }
    void put(const char *text) { put(text, std::strlen(text)); }
    __attribute__((format(printf, 2, 3))) void printf(const char *format, ...) {
        char piece[32];
        va_list args;
        va_start(args, format);
        const int n = vsnprintf(piece, sizeof piece, format, args);
        va_end(args);
        if (n > 0) put(piece, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof piece - 1));
    }
    int length() const { return static_cast<int>(length_); }

private:
    void terminate() {
        if (size_) buf_[std::min(length_, size_ - 1)] = '\0';
    }
    char *buf_;
    std::size_t size_;
    std::size_t length_ = 0;
};

uint32_t load(const uint8_t *from, std::size_t width) {
    switch (width) {
        case 1: return *from;
        case 2: {
            uint16_t v;
            std::memcpy(&v, from, sizeof v);
            return v;
        }
        default: {
            uint32_t v = 0;
            std::memcpy(&v, from, std::min<std::size_t>(width, sizeof v));
            return v;
        }
    }
}

// The name of an enumeration value.  A value that several members share
// (every HVAC_DIAG_KEY_ID release code) reads as their common pattern, for
// instance KEY_*_RELEASE; a value no member has as the number and '?'.
void put_enum(Line &line, const Enumeration &e, uint32_t value) {
    const char *first = nullptr;
    std::size_t m = 0;       // length of the first name
    std::size_t prefix = 0;  // shared with every later name, from the front
    std::size_t suffix = 0;  // and from the back
    int matches = 0;
    for (const EnumValue &v : e.values) {
        if (v.value != value) continue;
        const std::size_t n = std::strlen(v.name);
        if (matches++ == 0) {
            first = v.name;
            m = prefix = suffix = n;
            continue;
        }
        std::size_t p = 0;
        while (p < prefix && p < n && first[p] == v.name[p]) ++p;
        std::size_t s = 0;
        while (s < suffix && s < n && first[m - 1 - s] == v.name[n - 1 - s]) ++s;
        prefix = p;
        suffix = s;
    }
    if (matches == 0) {
        line.printf("%u?", static_cast<unsigned>(value));
        return;
    }
    line.put(first, prefix);
    if (matches == 1) return;
    line.put('*');
    line.put(first + m - suffix, suffix);
}

void put_quoted(Line &line, const uint8_t *bytes, std::size_t n) {
    line.put('"');
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        if (b == '"' || b == '\\') {
            line.put('\\');
            line.put(static_cast<char>(b));
        } else if (b >= 0x20 && b < 0x7F) {
            line.put(static_cast<char>(b));
        } else {
            line.printf("\\x%02X", b);
        }
    }
    line.put('"');
}

void put_hex(Line &line, const uint8_t *bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) line.printf("%02X", bytes[i]);
}

// The layout the decoder chose for this record: by the length (which the
// packet's size keeps) or by a byte that the record keeps as a field.
const Layout *layout_of(Span<Layout> layouts, const PACKET_MSG *msg) {
    for (const Layout &l : layouts) {
        switch (l.when.by) {
            case Selector::By::Always: return &l;
            case Selector::By::Length:
                if (msg->size == l.when.value) return &l;
                break;
            case Selector::By::Byte:
                for (const Field &f : l.fields)
                    if (f.kind == Kind::Number && f.pos == l.when.pos && f.width == 1 && !f.bits &&
                        f.record_offset >= 0 && load(msg->data + f.record_offset, f.record_width) == l.when.value)
                        return &l;
                break;
        }
    }
    return nullptr;
}

void put_fields(Line &line, const Layout &layout, const PACKET_MSG *msg) {
    uint32_t previous = 0;
    for (const Field &f : layout.fields) {
        if (f.record_offset < 0) continue;
        const uint8_t *from = msg->data + f.record_offset;
        const std::size_t room = sizeof msg->data - static_cast<std::size_t>(f.record_offset);
        line.put(' ');
        line.put(f.name);
        line.put('=');
        switch (f.kind) {
            case Kind::Number:
            case Kind::Length:
            case Kind::NotFilled: {
                const uint32_t v = load(from, f.record_width);
                if (f.kind == Kind::Number) previous = v;
                if (f.enumeration)
                    put_enum(line, *f.enumeration, v);
                else
                    line.printf("%u", static_cast<unsigned>(v));
                break;
            }
            case Kind::Bytes: put_hex(line, from, std::min(run_elements(f, msg->size, previous), room)); break;
            case Kind::Text: put_quoted(line, from, std::min(run_elements(f, msg->size, previous), room)); break;
            case Kind::Numbers: {
                const std::size_t n = run_elements(f, msg->size, previous);
                line.put('[');
                for (std::size_t k = 0; k < n && (k + 1) * f.record_width <= room; ++k) {
                    if (k) line.put(',');
                    line.printf("%u", static_cast<unsigned>(load(from + k * f.record_width, f.record_width)));
                }
                line.put(']');
                break;
            }
        }
    }
}

}  // namespace

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

const char *McuAgent_msg_name(int mcu_msg_id) {
    if (mcu_msg_id < 0 || mcu_msg_id > 0xFF) return nullptr;
    const protocol::Message *m = protocol::find_message(static_cast<uint8_t>(mcu_msg_id));
    return m ? m->name : nullptr;
}

const char *McuAgent_cmd_name(int mcu_cmd_id) {
    if (mcu_cmd_id < 0 || mcu_cmd_id > 0xFF) return nullptr;
    const protocol::Command *c = protocol::find_command(static_cast<uint8_t>(mcu_cmd_id));
    return c ? c->name : nullptr;
}

// "NAME(0xNN) field=value ...", as the dump prints the agent's frame; the
// layout's name in brackets when the id has several.  An id without a name
// reads "unknown message 0xNN" and the bytes it carried.
int McuAgent_format_msg(const PACKET_MSG *msg, char *buf, int size) {
    Line line(buf, size);
    if (!msg) return -1;
    const unsigned id = static_cast<unsigned>(msg->mcu_msg_id);
    const protocol::Message *m = id <= 0xFF ? protocol::find_message(static_cast<uint8_t>(id)) : nullptr;
    const protocol::Layout *layout = m ? layout_of(m->layouts, msg) : nullptr;
    if (!layout) {
        if (m) {
            line.put(m->name);
            line.printf("(0x%02X)", id);
        } else {
            line.printf("unknown message 0x%02X", id & 0xFF);
        }
        if (msg->size) {
            line.put(' ');
            put_hex(line, msg->data, msg->size);
        }
        return line.length();
    }
    line.put(m->name);
    line.printf("(0x%02X)", id);
    if (m->layouts.size() > 1 && layout->name[0]) {
        line.put(" [");
        line.put(layout->name);
        line.put(']');
    }
    put_fields(line, *layout, msg);
    return line.length();
}

}  // extern "C"
