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

// 0xNN, two hex digits or one.
bool hex_id(const std::string &word, uint8_t *id) {
    if (word.size() < 3 || word.size() > 4 || word[0] != '0' || (word[1] != 'x' && word[1] != 'X')) return false;
    unsigned v = 0;
    for (std::size_t i = 2; i < word.size(); ++i) {
        const char c = word[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    *id = static_cast<uint8_t>(v);
    return true;
}

}  // namespace

const Command *command_named(const std::string &word, std::string *error) {
    uint8_t id = 0;
    const Command *c = hex_id(word, &id) ? find_command(id) : find_command(word.c_str());
    if (!c) *error = "no command " + word + " (a name of MCU_CMD_ID, with or without MCU_CMD_, or 0xNN)";
    return c;
}

const Message *message_named(const std::string &word, std::string *error) {
    uint8_t id = 0;
    const Message *m = hex_id(word, &id) ? find_message(id) : find_message(word.c_str());
    if (!m) *error = "no message " + word + " (a name of MCU_MSG_ID, with or without MCU_MSG_, or 0xNN)";
    return m;
}

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
