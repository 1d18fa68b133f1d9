// description.cpp - lookups by name and enumeration names as text.
#include "description.h"

#include <cstring>

namespace mcu_protocol {

namespace {

// Accepts the full name or the name without its prefix.
bool name_matches(const char *full, const char *prefix, const char *name) {
    if (std::strcmp(full, name) == 0) return true;
    const std::size_t n = std::strlen(prefix);
    return std::strncmp(full, prefix, n) == 0 && std::strcmp(full + n, name) == 0;
}

}  // namespace

const Command *find_command(const char *name) {
    for (const Command &c : commands())
        if (name_matches(c.name, "MCU_CMD_", name)) return &c;
    return nullptr;
}

const Message *find_message(const char *name) {
    for (const Message &m : messages())
        if (name_matches(m.name, "MCU_MSG_", name)) return &m;
    return nullptr;
}

const Enumeration *find_enumeration(const char *name) {
    for (const Enumeration *e : enumerations())
        if (std::strcmp(e->name, name) == 0) return e;
    return nullptr;
}

bool enum_value(const Enumeration &e, const char *name, uint32_t *value) {
    for (const EnumValue &v : e.values)
        if (std::strcmp(v.name, name) == 0 || (std::strchr(name, '*') && enum_name(e, v.value) == name)) {
            *value = v.value;
            return true;
        }
    return false;
}

std::string enum_name(const Enumeration &e, uint32_t value) {
    std::string common;
    std::string suffix;
    int matches = 0;
    for (const EnumValue &v : e.values) {
        if (v.value != value) continue;
        const std::string name = v.name;
        if (matches++ == 0) {
            common = name;
            suffix = name;
            continue;
        }
        std::size_t p = 0;
        while (p < common.size() && p < name.size() && common[p] == name[p]) ++p;
        common.resize(p);
        std::size_t s = 0;
        while (s < suffix.size() && s < name.size() && suffix[suffix.size() - 1 - s] == name[name.size() - 1 - s])
            ++s;
        suffix = suffix.substr(suffix.size() - s);
    }
    if (matches <= 1) return common;
    return common + "*" + suffix;
}

}  // namespace mcu_protocol
