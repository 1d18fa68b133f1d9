// dissector_gen.cpp - writes mcu_agent.lua, the Wireshark dissector of the
// agent socket, from the protocol rows: the frame constants, every
// enumeration (each value by the name the dump gives it), and every command
// and message with its layouts and fields, as Lua tables.  The reader of
// those tables (dissector_engine.lua) is appended unchanged; it knows the
// row kinds, never a command, a message or a field.
//
//   mcu-agent-dissector-gen ENGINE.lua OUT.lua
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "description.h"

namespace {

using namespace mcu_protocol;

// A Lua string literal.
std::string lua_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\%03u", c);
            out += esc;
        }
    }
    return out + "\"";
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

std::string strip(const std::string &name, const char *prefix) {
    const std::string p = prefix;
    return name.rfind(p, 0) == 0 ? name.substr(p.size()) : name;
}

// The filter name of a command's or message's fields: mcu_agent.<owner>.<field>.
// Messages drop MCU_MSG_RET_ (or MCU_MSG_); commands drop MCU_CMD_ and
// take cmd_ in front, so that a command and a message of the same words
// stay apart (MCU_CMD_GET_VERSION_INFO, MCU_MSG_GET_VERSION_INFO).
std::string message_owner(const std::string &name) {
    return lower(name.rfind("MCU_MSG_RET_", 0) == 0 ? strip(name, "MCU_MSG_RET_") : strip(name, "MCU_MSG_"));
}
std::string command_owner(const std::string &name) { return "cmd_" + lower(strip(name, "MCU_CMD_")); }

const char *kind_word(Kind k) {
    switch (k) {
        case Kind::Number: return "number";
        case Kind::Bytes: return "bytes";
        case Kind::Text: return "text";
        case Kind::Numbers: return "numbers";
        case Kind::Length: return "length";
        case Kind::NotFilled: return "not_filled";
    }
    return "number";
}

const char *count_word(Count c) {
    switch (c) {
        case Count::Fixed: return "fixed";
        case Count::Rest: return "rest";
        case Count::Field: return "field";
    }
    return "fixed";
}

const char *selector_word(Selector::By by) {
    switch (by) {
        case Selector::By::Always: return "always";
        case Selector::By::Length: return "length";
        case Selector::By::Byte: return "byte";
    }
    return "always";
}

void write_enumerations(std::ostream &out) {
    out << "R.enums = {\n";
    for (const Enumeration *e : enumerations()) {
        out << "  [" << lua_string(e->name) << "] = {";
        std::set<uint32_t> done;
        for (const EnumValue &v : e->values) {
            if (!done.insert(v.value).second) continue;
            out << "[" << v.value << "]=" << lua_string(enum_name(*e, v.value)) << ", ";
        }
        out << "},\n";
    }
    out << "}\n";
}

void write_layouts(std::ostream &out, Span<Layout> layouts) {
    out << "layouts={\n";
    for (const Layout &l : layouts) {
        out << "    {name=" << lua_string(l.name) << ", by=\"" << selector_word(l.when.by) << "\", pos=" << +l.when.pos
            << ", value=" << +l.when.value << ", min=" << +l.min_length << ", max=" << +l.max_length
            << ", fields={\n";
        for (const Field &f : l.fields) {
            out << "      {name=" << lua_string(f.name) << ", kind=\"" << kind_word(f.kind) << "\", pos=" << +f.pos
                << ", width=" << +f.width << ", shift=" << +f.shift << ", bits=" << +f.bits
                << ", count=\"" << count_word(f.count) << "\", count_value=" << +f.count_value
                << ", limit=" << f.limit << ", fill=" << +f.fill;
            if (f.enumeration) out << ", enum=" << lua_string(f.enumeration->name);
            if (f.count_field) out << ", count_field=" << lua_string(f.count_field);
            out << "},\n";
        }
        out << "    }},\n";
    }
    out << "  }";
}

// What a field's filter value is: a number, bytes or text.
int filter_type(const Field &f) {
    switch (f.kind) {
        case Kind::Number:
        case Kind::Length:
        case Kind::NotFilled: return 0;
        case Kind::Bytes: return 1;
        default: return 2;
    }
}

// One filter field per name of a command or message: the layouts of an id
// must agree on what a name holds.
bool names_agree(const char *owner, Span<Layout> layouts) {
    for (const Layout &a : layouts)
        for (const Field &f : a.fields)
            for (const Layout &b : layouts)
                for (const Field &g : b.fields)
                    if (std::string(f.name) == g.name &&
                        (filter_type(f) != filter_type(g) || f.enumeration != g.enumeration ||
                         ((f.bits || g.bits) && (f.width != g.width || f.shift != g.shift || f.bits != g.bits)))) {
                        std::cerr << "mcu-agent-dissector-gen: " << owner << ": two layouts give " << f.name
                                  << " different kinds, enumerations or bits\n";
                        return false;
                    }
    return true;
}

// Fails when two owners would share a filter name.
bool write_rows(std::ostream &out) {
    std::set<std::string> owners;
    auto unique = [&](const std::string &owner) {
        if (owners.insert(owner).second) return true;
        std::cerr << "mcu-agent-dissector-gen: two ids share the filter name mcu_agent." << owner << "\n";
        return false;
    };
    out << "R.commands = {\n";
    for (const Command &c : commands()) {
        const std::string owner = command_owner(c.name);
        if (!unique(owner) || !names_agree(c.name, c.layouts)) return false;
        out << "  [" << +c.id << "] = {name=" << lua_string(c.name) << ", owner=" << lua_string(owner) << ", ";
        if (c.answer >= 0) out << "answer=" << c.answer << ", ";
        write_layouts(out, c.layouts);
        out << "},\n";
    }
    out << "}\nR.messages = {\n";
    for (const Message &m : messages()) {
        const std::string owner = message_owner(m.name);
        if (!unique(owner) || !names_agree(m.name, m.layouts)) return false;
        out << "  [" << +m.id << "] = {name=" << lua_string(m.name) << ", owner=" << lua_string(owner)
            << ", record=" << lua_string(m.record) << ", ";
        write_layouts(out, m.layouts);
        out << "},\n";
    }
    out << "}\n";
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: mcu-agent-dissector-gen ENGINE.lua OUT.lua\n";
        return 2;
    }
    std::ifstream engine(argv[1]);
    if (!engine) {
        std::cerr << "mcu-agent-dissector-gen: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::ostringstream text;
    text << "-- mcu_agent.lua - the agent socket's frames in Wireshark, every field by\n"
            "-- its row name.  Written at build time from the library's protocol rows\n"
            "-- by mcu-agent-dissector-gen: do not edit, rebuild.\n"
            "local R = {}\n"
         << "R.version = " << lua_string(MCU_AGENT_VERSION) << "\n"
         << "R.app_lead = {" << +kOutboundLead0 << ", " << +kOutboundLead1 << "}\n"
         << "R.agent_lead = {" << +kInboundLead0 << ", " << +kInboundLead1 << "}\n"
         << "R.id_offset = " << mcu_agent::wire::kIdOffset << "\n"
         << "R.length_offset = " << mcu_agent::wire::kLengthOffset << "\n"
         << "R.head = " << kHeadSize << "\n"
         << "R.overhead = " << kFrameOverhead << "\n"
         << "R.max_payload = " << kMaxPayload << "\n";
    write_enumerations(text);
    if (!write_rows(text)) return 1;
    text << "\n" << engine.rdbuf();
    // Written whole or not at all, so that a failed run leaves no half file.
    const std::string tmp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text.str();
        if (!out.flush()) {
            std::cerr << "mcu-agent-dissector-gen: cannot write " << tmp << "\n";
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[2]) != 0) {
        std::perror("mcu-agent-dissector-gen: rename");
        return 1;
    }
    return 0;
}
