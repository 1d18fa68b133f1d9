// messages_doc.cpp - writes the message reference (messages.md) from the
// protocol rows: every message with the record it fills (or the one byte
// in data[0]), every command with the request function that sends it, and
// for each the fields with their payload positions, record places and
// ranges, then every enumeration.  The request functions are read from the
// library's sources, where they are defined.
//
//   mcu-agent-messages-doc OUTPUT SOURCE.cpp...
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "description.h"
#include "value_check.h"

namespace {

using namespace mcu_protocol;

std::string hex_byte(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

// "P3", "P3..P4", "P0 bits 5..7": where a field is in the payload.
std::string payload_place(const Field &f) {
    const std::string p = "P" + std::to_string(f.pos);
    switch (f.kind) {
        case Kind::Length: return "the length byte";
        case Kind::NotFilled:
            return p + "..P" + std::to_string(f.pos + f.width - 1) + ": 0 when every byte is " + hex_byte(f.fill) +
                   ", else 1";
        case Kind::Number: {
            std::string s = f.width == 1 ? p : p + "..P" + std::to_string(f.pos + f.width - 1) + " (big-endian)";
            if (f.bits) s += " bits " + std::to_string(f.shift) + ".." + std::to_string(f.shift + f.bits - 1);
            return s;
        }
        case Kind::Bytes:
        case Kind::Text:
        case Kind::Numbers: break;
    }
    const std::string unit = f.kind == Kind::Numbers ? std::to_string(f.width) + "-byte numbers" : "bytes";
    switch (f.count) {
        case Count::Fixed:
            return p + ".., " + std::to_string(f.count_value) + " " + unit;
        case Count::Rest: return p + " to the end, " + unit;
        case Count::Field: return p + ".., as many " + unit + " as `" + f.count_field + "` says";
    }
    return p;
}

std::string record_place(const Field &f) {
    if (f.record_offset < 0) return "-";
    std::string s = "data[" + std::to_string(f.record_offset) + "], " + std::to_string(f.record_width) + " byte" +
                    (f.record_width == 1 ? "" : "s");
    if (f.kind == Kind::Numbers) s += " each";
    if (f.limit) s += ", at most " + std::to_string(f.limit);
    return s;
}

std::string values_of(const Field &f) {
    switch (f.kind) {
        case Kind::Text: return "text";
        case Kind::Bytes: return "bytes";
        case Kind::Length: return "0 to 255";
        case Kind::NotFilled: return "0 or 1";
        case Kind::Number:
        case Kind::Numbers: break;
    }
    const NumberRule rule = rule_of(f);
    if (f.enumeration) {
        std::string anchor = f.enumeration->name;  // headings' anchors are lower case
        for (char &ch : anchor) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        std::string s = "[`" + std::string(f.enumeration->name) + "`](#" + anchor + ")";
        // The value that asks for nothing: what mcu-agent-send puts in a
        // field left out.
        if (f.has_neutral) s += ", neutral: `" + enum_name(*f.enumeration, f.neutral) + "`";
        return s;
    }
    return std::to_string(rule.lowest()) + " to " + std::to_string(rule.highest());
}

std::string record_words(const char *record) {
    const std::string r = record ? record : "";
    if (r == "byte") return "one byte in `data[0]` (the first 32-bit word of `data` reads as the same value)";
    if (r == "raw payload") return "the payload as it came, from `data[0]`";
    if (r.empty()) return "-";
    return "`" + r + "` at the start of `data`";
}

void field_table(std::ostream &out, const Layout &layout) {
    if (layout.fields.empty()) {
        out << "No payload.\n\n";
        return;
    }
    out << "| field | payload | record | values |\n|---|---|---|---|\n";
    for (const Field &f : layout.fields)
        out << "| `" << f.name << "` | " << payload_place(f) << " | " << record_place(f) << " | " << values_of(f)
            << " |\n";
    out << "\n";
}

std::string length_words(const Layout &l) {
    if (l.min_length == l.max_length)
        return std::to_string(l.min_length) + (l.min_length == 1 ? " payload byte" : " payload bytes");
    return std::to_string(l.min_length) + " to " + std::to_string(l.max_length) + " payload bytes";
}

void layouts(std::ostream &out, Span<Layout> all) {
    for (const Layout &l : all) {
        if (all.size() > 1) {
            out << "*" << (*l.name ? l.name : "layout") << "*";
            if (l.when.by == Selector::By::Byte)
                out << " (P" << unsigned(l.when.pos) << " = " << unsigned(l.when.value) << ")";
            else if (l.when.by == Selector::By::Length)
                out << " (length " << unsigned(l.when.value) << ")";
            out << ": ";
        }
        out << length_words(l) << ".\n\n";
        field_table(out, l);
    }
}

// Each MCU_CMD_ name to the request functions that send it: named in
// their body, or in the body of a helper of the same source they call.
std::map<std::string, std::vector<std::string>> request_functions(const std::vector<std::string> &sources) {
    std::map<std::string, std::vector<std::string>> by_command;
    for (const std::string &path : sources) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = "\n" + ss.str();
        struct Function {
            std::string name, signature, body;
        };
        std::vector<Function> functions;
        // Definitions start a line: "int NAME(PARAMETERS) {" (or "static int").
        for (const std::string head : {"\nint ", "\nstatic int "})
            for (std::size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
                const std::size_t name_at = at + head.size();
                const std::size_t open = text.find('(', name_at), close = text.find(')', open);
                const std::size_t brace = text.find_first_not_of(" \t\n", close + 1);
                if (open == std::string::npos || close == std::string::npos || brace == std::string::npos ||
                    text[brace] != '{')
                    continue;
                const std::string name = text.substr(name_at, open - name_at);
                if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
                    std::string::npos)
                    continue;
                // The body: from the brace to the one that closes it.
                std::size_t end = brace + 1;
                for (int depth = 1; end < text.size() && depth; ++end)
                    depth += text[end] == '{' ? 1 : text[end] == '}' ? -1 : 0;
                functions.push_back({name, text.substr(name_at, close + 1 - name_at), text.substr(brace, end - brace)});
            }
        auto commands_in = [](const std::string &body, std::set<std::string> *out) {
            for (std::size_t at = body.find("MCU_CMD_"); at != std::string::npos; at = body.find("MCU_CMD_", at + 1)) {
                std::size_t end = at;
                while (end < body.size() && (std::isupper(static_cast<unsigned char>(body[end])) ||
                                             std::isdigit(static_cast<unsigned char>(body[end])) || body[end] == '_'))
                    ++end;
                out->insert(body.substr(at, end - at));
                at = end - 1;
            }
        };
        for (const Function &f : functions) {
            if (f.name.rfind("McuAgent_", 0) != 0) continue;
            std::set<std::string> sent;
            commands_in(f.body, &sent);
            for (const Function &helper : functions)
                if (helper.name.rfind("McuAgent_", 0) != 0 && f.body.find(helper.name + "(") != std::string::npos)
                    commands_in(helper.body, &sent);
            for (const std::string &c : sent) by_command[c].push_back(f.signature);
        }
    }
    return by_command;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: mcu-agent-messages-doc OUTPUT SOURCE.cpp...\n");
        return 2;
    }
    const auto functions = request_functions(std::vector<std::string>(argv + 2, argv + argc));
    std::ostringstream out;
    out << "# Messages and commands\n\n"
           "Written from the library's protocol rows at build time; do not edit. Payload byte k is Pk;\n"
           "numbers wider than one byte travel big-endian. A message's handler gets `PACKET_MSG` with\n"
           "`mcu_msg_id`, `size` and `data`; copy the record out with `MCU_PACKET_GET_RECORD`. \"record\"\n"
           "is where the decoder puts a field in `data` (native byte order).\n\n"
           "## Messages (from the agent to the application)\n\n";
    for (const Message &m : messages()) {
        out << "### " << m.name << " (" << hex_byte(m.id) << ")\n\n";
        out << "Record: " << record_words(m.record) << ".\n\n";
        layouts(out, m.layouts);
    }
    out << "## Commands (from the application to the agent)\n\n";
    for (const Command &c : commands()) {
        out << "### " << c.name << " (" << hex_byte(c.id) << ")\n\n";
        auto f = functions.find(c.name);
        if (f != functions.end()) {
            out << "Sent by ";
            for (std::size_t i = 0; i < f->second.size(); ++i)
                out << (i ? (i + 1 == f->second.size() ? " and " : ", ") : "") << "`" << f->second[i] << "`";
            out << ".";
        } else {
            out << "Sent by no request function.";
        }
        const Message *answer = c.answer >= 0 ? find_message(static_cast<uint8_t>(c.answer)) : nullptr;
        if (answer)
            out << " Answered by " << answer->name << ": `McuAgent_call` can await it.";
        else
            out << " No answer: `McuAgent_call` refuses it (`MCU_AGENT_CALL_NO_ANSWER`).";
        out << "\n\n";
        layouts(out, c.layouts);
    }
    out << "## Enumerations\n\n";
    for (const Enumeration *e : enumerations()) {
        out << "### " << e->name << "\n\n";
        for (const EnumValue &v : e->values) out << "- `" << v.name << "` = " << v.value << "\n";
        out << "\n";
    }
    std::ofstream file(argv[1], std::ios::out | std::ios::trunc);
    file << out.str();
    return file ? 0 : 1;
}
