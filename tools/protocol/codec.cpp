// codec.cpp - payload <-> named values, through the description.
#include "codec.h"

#include <algorithm>
#include <cstring>

namespace mcu_protocol {

namespace {

uint8_t byte_at(const uint8_t *payload, std::size_t length, std::size_t pos) {
    return pos < length ? payload[pos] : 0;
}

uint32_t all_ones(unsigned bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

// The largest value a Number field holds.
uint32_t field_max(const Field &f) { return all_ones(f.bits ? f.bits : 8u * f.width); }

uint32_t read_number(const Field &f, const uint8_t *payload, std::size_t length, std::size_t pos) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < f.width; ++i) v = v << 8 | byte_at(payload, length, pos + i);
    if (f.bits) v = (v >> f.shift) & all_ones(f.bits);
    return v;
}

std::size_t element_width(const Field &f) { return f.kind == Kind::Numbers ? f.width : 1; }

// Elements of a run, taken from the payload length or from the field that
// counts it, but never more than the payload can hold.
std::size_t run_count(const Field &f, const Values &values, std::size_t length) {
    const std::size_t per = element_width(f);
    std::size_t n = 0;
    switch (f.count) {
        case Count::Fixed: n = f.count_value; break;
        case Count::Rest: n = length > f.pos ? (length - f.pos) / per : 0; break;
        case Count::Field: n = number_of(values, f.count_field); break;
    }
    const std::size_t room = f.pos < kMaxPayload ? (kMaxPayload - f.pos) / per : 0;
    return std::min(n, room);
}

// The first payload position after the field.
std::size_t field_end(const Field &f, const Values &values, std::size_t length) {
    switch (f.kind) {
        case Kind::Number:
        case Kind::NotFilled: return f.pos + f.width;
        case Kind::Length: return 0;
        default: return f.pos + run_count(f, values, length) * element_width(f);
    }
}

void put_le(uint8_t *to, std::size_t room, uint32_t v, std::size_t width) {
    for (std::size_t i = 0; i < width && i < room && i < 4; ++i) to[i] = static_cast<uint8_t>(v >> (8 * i));
}

class Writer {
public:
    explicit Writer(std::vector<uint8_t> *out) : out_(out) {}
    bool ensure(std::size_t n, std::string *error) {
        if (n > kMaxPayload) {
            *error = "payload would take " + std::to_string(n) + " bytes, at most 255 fit";
            return false;
        }
        if (out_->size() < n) out_->resize(n, 0);
        return true;
    }
    bool number(const Field &f, std::size_t pos, uint32_t value, std::string *error) {
        if (value > field_max(f)) {
            *error = std::string(f.name) + "=" + std::to_string(value) + " does not fit its " +
                     std::to_string(f.bits ? f.bits : 8 * f.width) + " bits (0 to " + std::to_string(field_max(f)) +
                     ")";
            return false;
        }
        if (!ensure(pos + f.width, error)) return false;
        uint32_t word = 0;
        for (std::size_t i = 0; i < f.width; ++i) word = word << 8 | (*out_)[pos + i];
        const uint32_t mask = f.bits ? all_ones(f.bits) << f.shift : all_ones(8u * f.width);
        word = (word & ~mask) | ((value << (f.bits ? f.shift : 0)) & mask);
        for (std::size_t i = 0; i < f.width; ++i)
            (*out_)[pos + i] = static_cast<uint8_t>(word >> (8 * (f.width - 1 - i)));
        return true;
    }

private:
    std::vector<uint8_t> *out_;
};

// Why `layout` cannot carry `values`; empty when it can.
std::string misfit(const Layout &layout, const Values &values) {
    for (const Value &v : values) {
        const Field *f = find_field(layout, v.name);
        if (!f) return "no field " + v.name;
        if (f->count == Count::Fixed && f->kind == Kind::Numbers && !v.numbers.empty() &&
            v.numbers.size() != f->count_value)
            return v.name + " takes " + std::to_string(f->count_value) + " numbers";
        if (f->count == Count::Fixed && (f->kind == Kind::Bytes || f->kind == Kind::Text) &&
            v.bytes.size() > f->count_value)
            return v.name + " takes at most " + std::to_string(f->count_value) + " bytes";
        if (layout.when.by == Selector::By::Byte && f->kind == Kind::Number && f->pos == layout.when.pos &&
            f->width == 1 && !f->bits && v.number != layout.when.value)
            return v.name + " is not " + std::to_string(layout.when.value);
    }
    return "";
}

}  // namespace

Value number_value(const std::string &name, uint32_t number) {
    Value v;
    v.name = name;
    v.number = number;
    return v;
}

Value numbers_value(const std::string &name, std::vector<uint32_t> numbers) {
    Value v;
    v.name = name;
    v.numbers = std::move(numbers);
    return v;
}

Value bytes_value(const std::string &name, std::vector<uint8_t> bytes) {
    Value v;
    v.name = name;
    v.bytes = std::move(bytes);
    return v;
}

const Value *find_value(const Values &values, const std::string &name) {
    for (const Value &v : values)
        if (v.name == name) return &v;
    return nullptr;
}

uint32_t number_of(const Values &values, const std::string &name, uint32_t otherwise) {
    const Value *v = find_value(values, name);
    return v ? v->number : otherwise;
}

void put(Values &values, Value value) {
    for (Value &v : values)
        if (v.name == value.name) {
            v = std::move(value);
            return;
        }
    values.push_back(std::move(value));
}

const Field *find_field(const Layout &layout, const std::string &name) {
    for (const Field &f : layout.fields)
        if (name == f.name) return &f;
    return nullptr;
}

const Layout *select_layout(Span<Layout> layouts, const uint8_t *payload, std::size_t length) {
    for (const Layout &l : layouts) {
        switch (l.when.by) {
            case Selector::By::Always: return &l;
            case Selector::By::Length:
                if (length == l.when.value) return &l;
                break;
            case Selector::By::Byte:
                if (l.when.pos < length && payload[l.when.pos] == l.when.value) return &l;
                break;
        }
    }
    return nullptr;
}

Values decode(const Layout &layout, const uint8_t *payload, std::size_t length) {
    Values out;
    out.reserve(layout.fields.size());
    for (const Field &f : layout.fields) {
        Value v;
        v.name = f.name;
        switch (f.kind) {
            case Kind::Number: v.number = read_number(f, payload, length, f.pos); break;
            case Kind::Length: v.number = static_cast<uint32_t>(length); break;
            case Kind::NotFilled: {
                v.number = 0;
                for (std::size_t i = 0; i < f.width; ++i)
                    if (byte_at(payload, length, f.pos + i) != f.fill) v.number = 1;
                break;
            }
            case Kind::Bytes:
            case Kind::Text: {
                const std::size_t n = run_count(f, out, length);
                for (std::size_t k = 0; k < n; ++k) v.bytes.push_back(byte_at(payload, length, f.pos + k));
                break;
            }
            case Kind::Numbers: {
                const std::size_t n = run_count(f, out, length);
                for (std::size_t k = 0; k < n; ++k)
                    v.numbers.push_back(read_number(f, payload, length, f.pos + k * f.width));
                break;
            }
        }
        out.push_back(std::move(v));
    }
    return out;
}

std::string check_length(const Layout &layout, const Values &values, std::size_t length) {
    if (length < layout.min_length || length > layout.max_length) {
        if (layout.min_length == layout.max_length)
            return "length " + std::to_string(length) + ", takes " + std::to_string(layout.min_length);
        return "length " + std::to_string(length) + ", takes " + std::to_string(layout.min_length) + " to " +
               std::to_string(layout.max_length);
    }
    // A run counted by a field fixes the length exactly.
    bool counted = false;
    std::size_t expected = 0;
    for (const Field &f : layout.fields) {
        counted = counted || f.count == Count::Field;
        expected = std::max(expected, field_end(f, values, length));
    }
    if (counted && expected != length)
        return "length " + std::to_string(length) + ", the fields take " + std::to_string(expected);
    return "";
}

const Layout *choose_layout(Span<Layout> layouts, const Values &values, std::string *error) {
    std::string why;
    for (const Layout &l : layouts) {
        const std::string m = misfit(l, values);
        if (m.empty()) return &l;
        if (why.empty()) why = m;
    }
    if (error) *error = why.empty() ? "no layout" : why;
    return nullptr;
}

bool encode(const Layout &layout, const Values &values, std::vector<uint8_t> *payload, std::string *error) {
    std::string ignored;
    if (!error) error = &ignored;
    const std::string m = misfit(layout, values);
    if (!m.empty()) {
        *error = m;
        return false;
    }
    Values given = values;
    for (const Field &f : layout.fields) {
        if (f.count != Count::Field || find_value(given, f.count_field)) continue;
        if (const Value *run = find_value(given, f.name))
            given.push_back(number_value(f.count_field,
                                         static_cast<uint32_t>(f.kind == Kind::Numbers ? run->numbers.size()
                                                                                       : run->bytes.size())));
    }
    payload->assign(layout.min_length, 0);
    Writer w(payload);
    for (const Field &f : layout.fields) {
        const Value *v = find_value(given, f.name);
        if (!v) continue;
        switch (f.kind) {
            case Kind::Number:
                if (!w.number(f, f.pos, v->number, error)) return false;
                break;
            case Kind::Length:
            case Kind::NotFilled: break;  // after the payload is complete
            case Kind::Bytes:
            case Kind::Text: {
                std::size_t n = v->bytes.size();
                if (f.count == Count::Fixed) n = f.count_value;
                if (f.count == Count::Field) {
                    n = number_of(given, f.count_field);
                    if (v->bytes.size() != n) {
                        *error = f.name + std::string(" has ") + std::to_string(v->bytes.size()) + " bytes, " +
                                 f.count_field + " says " + std::to_string(n);
                        return false;
                    }
                }
                if (!w.ensure(f.pos + n, error)) return false;
                std::copy(v->bytes.begin(), v->bytes.end(), payload->begin() + f.pos);
                break;
            }
            case Kind::Numbers: {
                std::size_t n = v->numbers.size();
                if (f.count == Count::Fixed) n = f.count_value;
                if (f.count == Count::Field) {
                    n = number_of(given, f.count_field);
                    if (v->numbers.size() != n) {
                        *error = f.name + std::string(" has ") + std::to_string(v->numbers.size()) + " numbers, " +
                                 f.count_field + " says " + std::to_string(n);
                        return false;
                    }
                }
                if (!w.ensure(f.pos + n * f.width, error)) return false;
                for (std::size_t k = 0; k < v->numbers.size(); ++k)
                    if (!w.number(f, f.pos + k * f.width, v->numbers[k], error)) return false;
                break;
            }
        }
    }
    if (layout.when.by == Selector::By::Byte) {
        bool named = false;
        for (const Field &f : layout.fields)
            named = named || (f.kind == Kind::Number && f.pos == layout.when.pos && find_value(given, f.name));
        if (!named) {
            if (!w.ensure(layout.when.pos + 1u, error)) return false;
            (*payload)[layout.when.pos] = layout.when.value;
        }
    }
    for (const Field &f : layout.fields) {
        const Value *v = find_value(given, f.name);
        if (!v) continue;
        if (f.kind == Kind::NotFilled && v->number == 0) {
            if (!w.ensure(f.pos + f.width, error)) return false;
            std::fill(payload->begin() + f.pos, payload->begin() + f.pos + f.width, f.fill);
        }
        if (f.kind == Kind::Length && v->number != payload->size()) {
            *error = std::string(f.name) + "=" + std::to_string(v->number) + " but the payload has " +
                     std::to_string(payload->size()) + " bytes";
            return false;
        }
    }
    if (payload->size() > layout.max_length) {
        *error = "payload of " + std::to_string(payload->size()) + " bytes, at most " +
                 std::to_string(layout.max_length) + " fit";
        return false;
    }
    return true;
}

Values with_neutral_values(const Layout &layout, const Values &given, std::vector<const Field *> *missing) {
    Values out = given;
    for (const Field &f : layout.fields) {
        if (find_value(given, f.name)) continue;
        if (f.has_neutral) {
            out.push_back(number_value(f.name, f.neutral));
            continue;
        }
        bool fills_itself = f.kind == Kind::Length || f.kind == Kind::NotFilled || f.count != Count::Fixed ||
                            ((f.kind == Kind::Bytes || f.kind == Kind::Text || f.kind == Kind::Numbers) &&
                             f.count_value == 0);
        if (f.kind == Kind::Number) {
            fills_itself = layout.when.by == Selector::By::Byte && f.pos == layout.when.pos && f.width == 1 && !f.bits;
            for (const Field &run : layout.fields)
                fills_itself = fills_itself || (run.count == Count::Field && f.name == std::string(run.count_field));
        }
        if (!fills_itself) missing->push_back(&f);
    }
    return out;
}

bool encode_any(Span<Layout> layouts, const Values &values, std::vector<uint8_t> *payload, std::string *error) {
    const Layout *layout = choose_layout(layouts, values, error);
    if (!layout || !encode(*layout, values, payload, error)) return false;
    if (select_layout(layouts, payload->data(), payload->size()) != layout) {
        if (error) *error = "these values read back through another layout";
        return false;
    }
    return true;
}

RecordImage record_image(const Layout &layout, const Values &values) {
    RecordImage data{};
    for (std::size_t i = 0; i < layout.fields.size() && i < values.size(); ++i) {
        const Field &f = layout.fields[i];
        const Value &v = values[i];
        if (f.record_offset < 0 || static_cast<std::size_t>(f.record_offset) >= data.size()) continue;
        uint8_t *to = data.data() + f.record_offset;
        const std::size_t room = data.size() - static_cast<std::size_t>(f.record_offset);
        switch (f.kind) {
            case Kind::Number:
            case Kind::Length:
            case Kind::NotFilled: {
                uint32_t n = v.number;
                if (f.limit && n > f.limit) n = f.limit;
                put_le(to, room, n, f.record_width);
                break;
            }
            case Kind::Bytes:
            case Kind::Text: {
                std::size_t n = v.bytes.size();
                if (f.limit) n = std::min<std::size_t>(n, f.limit);
                if (n) std::memcpy(to, v.bytes.data(), std::min(n, room));
                break;
            }
            case Kind::Numbers: {
                std::size_t n = v.numbers.size();
                if (f.limit) n = std::min<std::size_t>(n, f.limit);
                for (std::size_t k = 0; k < n && k * f.record_width < room; ++k)
                    put_le(to + k * f.record_width, room - k * f.record_width, v.numbers[k], f.record_width);
                break;
            }
        }
    }
    return data;
}

unsigned packet_size(const Layout &layout, std::size_t length) {
    return layout.packet_size >= 0 ? static_cast<unsigned>(layout.packet_size) : static_cast<unsigned>(length);
}

}  // namespace mcu_protocol
