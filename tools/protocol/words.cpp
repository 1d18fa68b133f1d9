// words.cpp - frames and values in words.
#include "words.h"

#include <cerrno>
#include <cstdlib>

namespace mcu_protocol {

namespace {

std::string hex_id(uint8_t id) { return "0x" + hex(&id, 1); }

std::string quoted(const Bytes &bytes) {
    std::string s = "\"";
    for (uint8_t b : bytes) {
        if (b == '"' || b == '\\') {
            s += '\\';
            s += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7F) {
            s += static_cast<char>(b);
        } else {
            s += "\\x" + hex(&b, 1);
        }
    }
    return s + "\"";
}

bool unquote(const std::string &text, Bytes *out, std::string *error) {
    out->clear();
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        out->assign(text.begin(), text.end());
        return true;
    }
    const std::string inner = text.substr(1, text.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] != '\\') {
            out->push_back(static_cast<uint8_t>(inner[i]));
            continue;
        }
        Bytes b;
        if (i + 1 < inner.size() && inner[i + 1] != 'x') {
            out->push_back(static_cast<uint8_t>(inner[i + 1]));
            i += 1;
        } else if (i + 3 < inner.size() && parse_hex(inner.substr(i + 2, 2), &b) && b.size() == 1) {
            out->push_back(b[0]);
            i += 3;
        } else {
            *error = "bad escape in " + text;
            return false;
        }
    }
    return true;
}

bool parse_number(std::string text, uint32_t *out) {
    if (!text.empty() && text.back() == '?') text.pop_back();  // as the dump prints values outside an enumeration
    if (text.empty() || text[0] == '-') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string positions(const Field &f, const Value &v) {
    auto p = [](std::size_t k) { return "P" + std::to_string(k); };
    switch (f.kind) {
        case Kind::Length: return "L";
        case Kind::Number:
        case Kind::NotFilled: {
            std::string s = f.width == 1 ? p(f.pos) : p(f.pos) + "-" + p(f.pos + f.width - 1u);
            if (f.bits)
                s += f.bits == 1 ? " bit " + std::to_string(f.shift)
                                 : " bits " + std::to_string(f.shift) + "-" + std::to_string(f.shift + f.bits - 1);
            return s;
        }
        default: {
            const std::size_t n = (f.kind == Kind::Numbers ? v.numbers.size() * f.width : v.bytes.size());
            return n == 0 ? p(f.pos) + " (none)" : p(f.pos) + "-" + p(f.pos + n - 1);
        }
    }
}

std::string record_place(const Field &f, const Value &v) {
    if (f.record_offset < 0) return "";
    std::size_t n = f.record_width;
    if (f.kind == Kind::Bytes || f.kind == Kind::Text) n = v.bytes.size();
    if (f.kind == Kind::Numbers) n = v.numbers.size() * f.record_width;
    if (f.limit && f.kind != Kind::Number)
        n = std::min<std::size_t>(n, f.limit * (f.kind == Kind::Numbers ? f.record_width : 1u));
    const std::size_t a = static_cast<std::size_t>(f.record_offset);
    if (n == 0) return "  -> data[" + std::to_string(a) + "] (nothing)";
    if (n == 1) return "  -> data[" + std::to_string(a) + "]";
    return "  -> data[" + std::to_string(a) + ".." + std::to_string(a + n - 1) + "]";
}

// The line without its direction; `notes` adds the problems of an
// agent's frame.  Verbose lines show `wire`, the bytes as they were on the
// socket, when given, and otherwise the frame the id and payload make.
std::string body(Direction direction, uint8_t id, const Bytes &payload, bool verbose, bool notes,
                 const Bytes *wire = nullptr) {
    const Bytes frame = wire ? *wire : direction == Direction::App ? app_frame(id, payload) : agent_frame(id, payload);
    Span<Layout> layouts;
    std::string record;
    std::string s;
    if (direction == Direction::App) {
        const Command *c = find_command(id);
        if (c) layouts = c->layouts;
        s = c ? std::string(c->name) + "(" + hex_id(id) + ")" : "unknown command " + hex_id(id);
    } else {
        const Message *m = find_message(id);
        if (m) {
            layouts = m->layouts;
            record = m->record;
        }
        s = m ? std::string(m->name) + "(" + hex_id(id) + ")" : "unknown message " + hex_id(id);
    }
    const Layout *layout = layouts.empty() ? nullptr : select_layout(layouts, payload.data(), payload.size());
    if (!layout) {
        if (!payload.empty()) s += " " + hex(payload);
        if (notes && direction == Direction::Agent)
            s += layouts.empty() ? " !no decoding rule: the library copies the payload raw"
                                 : " !no layout has length " + std::to_string(payload.size());
        if (verbose) s += "\n    frame  " + spaced_hex(frame);
        return s;
    }
    if (layouts.size() > 1 && layout->name[0]) s += " [" + std::string(layout->name) + "]";
    const Values values = decode(*layout, payload.data(), payload.size());
    const std::string fields = format_values(*layout, values);
    if (!fields.empty()) s += " " + fields;
    if (notes) {
        const std::string length = check_length(*layout, values, payload.size());
        if (!length.empty()) s += " !" + length;
    }
    if (verbose) {
        s += "\n    frame  " + spaced_hex(frame);
        if (!record.empty())
            s += "\n    record " + record + ", PACKET_MSG.size " +
                 std::to_string(packet_size(*layout, payload.size()));
        for (std::size_t i = 0; i < values.size(); ++i) {
            const Field &f = layout->fields[i];
            std::string line = "\n    " + positions(f, values[i]);
            line.resize(std::max<std::size_t>(line.size(), 24), ' ');
            line += std::string(f.name) + "=" + format_value(f, values[i]);
            if (direction == Direction::Agent) line += record_place(f, values[i]);
            s += line;
        }
    }
    return s;
}

}  // namespace

std::string format_value(const Field &field, const Value &value) {
    switch (field.kind) {
        case Kind::Number:
        case Kind::Length:
        case Kind::NotFilled:
            if (field.enumeration) {
                const std::string name = enum_name(*field.enumeration, value.number);
                return name.empty() ? std::to_string(value.number) + "?" : name;
            }
            return std::to_string(value.number);
        case Kind::Bytes: return hex(value.bytes);
        case Kind::Text: return quoted(value.bytes);
        case Kind::Numbers: {
            std::string s = "[";
            for (std::size_t i = 0; i < value.numbers.size(); ++i) {
                if (i) s += ",";
                s += std::to_string(value.numbers[i]);
            }
            return s + "]";
        }
    }
    return "";
}

std::string format_values(const Layout &layout, const Values &values) {
    std::string s;
    for (std::size_t i = 0; i < values.size() && i < layout.fields.size(); ++i) {
        if (!s.empty()) s += ' ';
        s += values[i].name + "=" + format_value(layout.fields[i], values[i]);
    }
    return s;
}

std::string frame_words(Direction direction, uint8_t id, const Bytes &payload, bool verbose) {
    return body(direction, id, payload, verbose, true);
}

std::string piece_words(const Piece &piece, bool verbose) {
    if (!piece.is_frame) return "? " + std::to_string(piece.raw.size()) + " bytes outside any frame: " + hex(piece.raw);
    std::string s = std::string(direction_word(piece.direction)) + " > ";
    const bool agent = piece.direction == Direction::Agent;
    s += body(piece.direction, piece.id, piece.payload, false, agent);
    if (agent) {
        // The library does not examine the trailer, but an agent that
        // writes a wrong one is wrong all the same.
        const uint8_t want = frame_checksum(piece.id, piece.payload.data(), piece.payload.size());
        if (piece.raw.back() != want) s += " !checksum " + hex(&piece.raw.back(), 1) + ", expected " + hex(&want, 1);
    } else {
        for (const std::string &p : app_frame_problems(piece)) s += " !" + p;
    }
    if (verbose) {
        // The bytes exactly as they came, never corrected.
        const std::string more = body(piece.direction, piece.id, piece.payload, true, false, &piece.raw);
        const std::size_t nl = more.find('\n');
        if (nl != std::string::npos) s += more.substr(nl);
    }
    return s;
}

std::string id_name(Direction direction, uint8_t id) {
    if (direction == Direction::App) {
        if (const Command *c = find_command(id)) return c->name;
    } else if (const Message *m = find_message(id)) {
        return m->name;
    }
    return hex_id(id);
}

bool parse_value(const Field &field, const std::string &text, Value *value, std::string *error) {
    value->name = field.name;
    switch (field.kind) {
        case Kind::Number:
        case Kind::Length:
        case Kind::NotFilled:
            if (field.enumeration && enum_value(*field.enumeration, text.c_str(), &value->number)) return true;
            if (parse_number(text, &value->number)) return true;
            *error = std::string(field.name) + ": not a number" +
                     (field.enumeration ? std::string(" nor a member of ") + field.enumeration->name : "") + ": " +
                     text;
            return false;
        case Kind::Bytes:
            if (parse_hex(text, &value->bytes)) return true;
            *error = std::string(field.name) + ": not hex bytes: " + text;
            return false;
        case Kind::Text: return unquote(text, &value->bytes, error);
        case Kind::Numbers: {
            std::string list = text;
            if (!list.empty() && list.front() == '[') list.erase(0, 1);
            if (!list.empty() && list.back() == ']') list.pop_back();
            value->numbers.clear();
            std::size_t start = 0;
            while (start < list.size()) {
                std::size_t comma = list.find(',', start);
                if (comma == std::string::npos) comma = list.size();
                uint32_t n = 0;
                if (!parse_number(list.substr(start, comma - start), &n)) {
                    *error = std::string(field.name) + ": not a list of numbers: " + text;
                    return false;
                }
                value->numbers.push_back(n);
                start = comma + 1;
            }
            return true;
        }
    }
    return false;
}

bool parse_assignments(Span<Layout> layouts, const std::vector<std::string> &tokens, Values *values,
                       std::string *error) {
    for (const std::string &token : tokens) {
        const std::size_t eq = token.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "expected name=value: " + token;
            return false;
        }
        const std::string name = token.substr(0, eq);
        const Field *field = nullptr;
        for (const Layout &l : layouts)
            if (!field) field = find_field(l, name);
        if (!field) {
            *error = "no field " + name;
            return false;
        }
        Value v;
        if (!parse_value(*field, token.substr(eq + 1), &v, error)) return false;
        put(*values, std::move(v));
    }
    return true;
}

}  // namespace mcu_protocol
