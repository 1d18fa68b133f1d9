// value_check.cpp - one check for every number the tools accept.
#include "value_check.h"

namespace mcu_protocol {

std::string NumberRule::range_words() const {
    const std::string range = std::to_string(lowest()) + " to " + std::to_string(highest());
    if (!where.empty()) return range + " (" + where + ")";
    return ranged ? range : range + " (" + std::to_string(bits) + " bits)";
}

NumberRule rule_of(const Field &field) {
    NumberRule rule;
    rule.bits = field.bits ? field.bits : 8u * field.width;
    if (rule.bits == 0 || rule.bits > 32) rule.bits = 32;
    rule.enumeration = field.enumeration;
    return rule;
}

std::string check_number(const std::string &name, const NumberRule &rule, int64_t value) {
    const bool inside = value >= 0 && value <= static_cast<int64_t>(rule.max()) &&
                        (!rule.ranged || (value >= rule.low && value <= rule.high));
    if (!inside) return name + ": " + std::to_string(value) + " is out of range: " + rule.range_words();
    if (rule.enumeration && enum_name(*rule.enumeration, static_cast<uint32_t>(value)).empty()) {
        std::string s = name + ": " + std::to_string(value) + " is not a member of " + rule.enumeration->name + ":";
        for (const EnumValue &m : rule.enumeration->values) s += std::string(" ") + m.name;
        return s;
    }
    return "";
}

std::string check_value(const Field &field, const Value &value, bool members_only) {
    NumberRule rule = rule_of(field);
    if (!members_only) rule.enumeration = nullptr;
    if (field.kind == Kind::Number) return check_number(field.name, rule, value.number);
    if (field.kind == Kind::Numbers)
        for (uint32_t n : value.numbers) {
            std::string why = check_number(field.name, rule, n);
            if (!why.empty()) return why;
        }
    return "";
}

std::string check_values(Span<Layout> layouts, const Values &values, bool members_only) {
    for (const Value &v : values) {
        const Field *field = nullptr;
        for (const Layout &l : layouts)
            if (!field) field = find_field(l, v.name);
        if (!field) continue;  // the encoder names fields it does not know
        std::string why = check_value(*field, v, members_only);
        if (!why.empty()) return why;
    }
    return "";
}

}  // namespace mcu_protocol
