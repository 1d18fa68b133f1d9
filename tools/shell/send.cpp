// send.cpp - mcu-agent-send: one request to the agent from the shell,
// built from the command's rows with the virtual MCU console's names and
// value checks, sent through the library, then every message that arrives
// within the wait, in the dump's words.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "codec.h"
#include "link_session.h"
#include "value_check.h"
#include "words.h"

namespace {

using namespace mcu_protocol;

const char kUsage[] =
    "usage: mcu-agent-send [options] COMMAND [field=value ...]\n"
    "       mcu-agent-send [options] ID#HEX\n"
    "       mcu-agent-send --list | help [COMMAND]\n"
    "Sends one request to the agent, as an application sends it through the\n"
    "library: COMMAND is a command's name (MCU_CMD_GET_AUDIO_SOURCE, or without\n"
    "MCU_CMD_) or id (0x21), each field=value sets a field of its payload by\n"
    "name (enumeration members by name).  A field left out takes its neutral\n"
    "value (a key released); a field that has none must be given.  ID#HEX sends\n"
    "the id and payload as they are, as a capture writes them (21#, 20#09).\n"
    "Prints the request in words, then every message that arrives within --wait\n"
    "milliseconds.  `help COMMAND` lists its fields and values, --list every command.\n"
    "Options, before or after the command:\n"
    "  --socket PATH     the agent socket (default $MCU_AGENT_SOCKET, else /tmp/mcu_agent)\n"
    "  --wait MS         how long to print what arrives after the last send (500)\n"
    "  --count N         send it N times (1)\n"
    "  --interval MS     between those sends (1000)\n"
    "  --no-version-answer  leave the agent's version requests unanswered\n"
    "Exit status: 0 sent, 1 not sent (no agent, connection lost), 2 bad command\n"
    "or field (the allowed values are printed).\n";

// What a field takes, for the error line: "blower_level 0 to 15 (4 bits)";
// with its neutral value when it has one.
std::string allowed(const Field &f) {
    std::string s = f.name;
    if (f.kind == Kind::Number && f.enumeration) {
        s += " one of";
        for (const EnumValue &v : f.enumeration->values) s += std::string(" ") + v.name;
    } else if (f.kind == Kind::Number) {
        s += " " + rule_of(f).range_words();
    } else if (f.kind == Kind::Text) {
        s += " \"text\"";
    } else if (f.kind == Kind::Bytes) {
        s += " hex bytes";
    } else if (f.kind == Kind::Numbers) {
        s += " a,b,c (each " + rule_of(f).range_words() + ")";
    }
    if (f.has_neutral)
        s += "; left out: " + format_value(f, number_value(f.name, f.neutral));
    return s;
}

// Every field of the command with what it takes, one a line.
std::string fields_of(const Command &c) {
    std::string s;
    std::vector<std::string> done;
    for (const Layout &l : c.layouts)
        for (const Field &f : l.fields) {
            bool seen = false;
            for (const std::string &d : done) seen = seen || d == f.name;
            if (seen || f.kind == Kind::Length || f.kind == Kind::NotFilled) continue;
            done.push_back(f.name);
            s += "\n  " + allowed(f);
        }
    return s.empty() ? "\n  (no fields)" : s;
}

// The field an error names ("blower_level=16 does not fit ...", "key: not
// a number ..."), if any.
const Field *field_in(const Command &c, const std::string &error) {
    const std::size_t end = error.find_first_of("=: ");
    for (const Layout &l : c.layouts)
        if (const Field *f = find_field(l, error.substr(0, end))) return f;
    return nullptr;
}

// Says why and what is allowed: the field's values, or every field.
int bad(const Command *c, const std::string &why) {
    std::fprintf(stderr, "mcu-agent-send: %s%s%s\n", c ? c->name : "", c ? ": " : "", why.c_str());
    if (!c) return 2;
    if (const Field *f = field_in(*c, why)) std::fprintf(stderr, "allowed: %s\n", allowed(*f).c_str());
    else std::fprintf(stderr, "%s takes:%s\n", c->name, fields_of(*c).c_str());
    return 2;
}

// The payload of `c` from "field=value" words: every value checked as the
// console checks it, each field once, the fields left out at their neutral
// values.  Returns 0, or the exit status having said why.
int build_request(const Command &c, const std::vector<std::string> &words, Bytes *payload) {
    Values values;
    std::string error;
    for (std::size_t i = 0; i < words.size(); ++i)
        for (std::size_t k = 0; k < i; ++k)
            if (words[i].substr(0, words[i].find('=')) == words[k].substr(0, words[k].find('=')))
                return bad(&c, words[i].substr(0, words[i].find('=')) + " is given twice");
    if (!parse_assignments(c.layouts, words, &values, &error)) return bad(&c, error);
    error = check_values(c.layouts, values);
    if (!error.empty()) return bad(&c, error);
    const Layout *layout = choose_layout(c.layouts, values, &error);
    if (!layout) return bad(&c, error);
    std::vector<const Field *> missing;
    const Values complete = with_neutral_values(*layout, values, &missing);
    if (!missing.empty()) {
        std::string names;
        for (const Field *f : missing) names += std::string(names.empty() ? "" : ", ") + f->name;
        std::fprintf(stderr, "mcu-agent-send: %s: give %s (no neutral value to leave %s at)\n", c.name,
                     names.c_str(), missing.size() == 1 ? "it" : "them");
        for (const Field *f : missing) std::fprintf(stderr, "allowed: %s\n", allowed(*f).c_str());
        return 2;
    }
    if (!encode_any(c.layouts, complete, payload, &error)) return bad(&c, error);
    return 0;
}

// "21#0900": an id and a payload in hex, as a capture line holds them.
bool raw_frame(const std::string &word, uint8_t *id, Bytes *payload) {
    const std::size_t hash = word.find('#');
    Bytes head;
    if (hash == std::string::npos || !parse_hex(word.substr(0, hash), &head) || head.size() != 1) return false;
    if (!parse_hex(word.substr(hash + 1), payload) || payload->size() > kMaxPayload) return false;
    *id = head[0];
    return true;
}

void list_commands() {
    for (const Command &c : commands()) std::printf("0x%02X %s\n", c.id, c.name);
}

}  // namespace

int main(int argc, char **argv) {
    mcu_shell::SessionOptions session;
    session.program = "mcu-agent-send";
    long wait_ms = 500, count = 1, interval_ms = 1000;
    bool list = false, options_end = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (options_end || a.empty() || a[0] != '-') {
            words.push_back(a);
        } else if (a == "--") {
            options_end = true;
        } else if ((a == "--socket" || a == "--wait" || a == "--count" || a == "--interval")) {
            if (i + 1 >= argc) return bad(nullptr, a + " needs a value");
            const std::string v = argv[++i];
            if (a == "--socket") session.socket = v;
            else if (a == "--wait" && !mcu_cli::parse_int(v, 0, 3600 * 1000, &wait_ms))
                return bad(nullptr, "--wait takes milliseconds, 0 to 3600000: " + v);
            else if (a == "--count" && !mcu_cli::parse_int(v, 1, 1000000, &count))
                return bad(nullptr, "--count takes 1 to 1000000: " + v);
            else if (a == "--interval" && !mcu_cli::parse_int(v, 0, 3600 * 1000, &interval_ms))
                return bad(nullptr, "--interval takes milliseconds, 0 to 3600000: " + v);
        } else if (a == "--no-version-answer") {
            session.answer_versions = false;
        } else if (a == "--list") {
            list = true;
        } else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-send");
            return 0;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mcu-agent-send: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (list) {
        list_commands();
        return 0;
    }
    if (words.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    if (words[0] == "help") {
        if (words.size() == 1) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        const Command *c = command_named(words[1], &error);
        if (!c) return bad(nullptr, error);
        std::printf("%s (0x%02X) takes:%s\n", c->name, c->id, fields_of(*c).c_str());
        return 0;
    }
    uint8_t id = 0;
    Bytes payload;
    if (words.size() == 1 && words[0].find('#') != std::string::npos) {
        if (!raw_frame(words[0], &id, &payload))
            return bad(nullptr, "not ID#HEX (an id byte and at most 255 payload bytes in hex): " + words[0]);
    } else {
        const Command *c = command_named(words[0], &error);
        if (!c) return bad(nullptr, error);
        id = c->id;
        if (const int status = build_request(*c, {words.begin() + 1, words.end()}, &payload)) return status;
    }

    if (!mcu_shell::open_session(session)) {
        std::fprintf(stderr, "mcu-agent-send: no agent answers at %s\n", mcu_cli::default_socket_path().c_str());
        return 1;
    }
    const std::string line = "app > " + frame_words(Direction::App, id, payload);
    for (long n = 0; n < count; ++n) {
        if (n) std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        if (mcu_shell::send_frame(id, payload, line) < 0) {
            std::fprintf(stderr, "mcu-agent-send: not sent: the connection to the agent has ended\n");
            return 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    return 0;
}
