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
#include "words.h"

namespace {

using namespace mcu_protocol;

const char kUsage[] =
    "usage: mcu-agent-send [--socket PATH] [--wait MS] [--no-version-answer] COMMAND [field=value ...]\n"
    "Sends one request to the agent, as an application sends it through the\n"
    "library: COMMAND is a command's name (MCU_CMD_GET_AUDIO_SOURCE, or without\n"
    "MCU_CMD_) or id (0x21), each field=value sets a field of its payload by\n"
    "name (enumeration members by name).  Prints the request in words, then\n"
    "every message that arrives within --wait milliseconds (default 500).\n"
    "Answers the agent's version requests unless --no-version-answer.\n"
    "Exit status: 0 sent, 1 not sent (no agent, connection lost), 2 bad command\n"
    "or field (the allowed values are printed).\n";

const Command *command_named(const std::string &word) {
    if (const Command *c = find_command(word.c_str())) return c;
    char *end = nullptr;
    const unsigned long id = std::strtoul(word.c_str(), &end, 0);
    return word.empty() || *end || id > 255 ? nullptr : find_command(static_cast<uint8_t>(id));
}

// What a field takes, for the error line: "blower_level 0 to 15".
std::string allowed(const Field &f) {
    std::string s = f.name;
    if (f.kind == Kind::Number) {
        const unsigned bits = f.bits ? f.bits : 8u * f.width;
        s += bits >= 32 ? " 0 to 4294967295" : " 0 to " + std::to_string((1ull << bits) - 1);
    } else if (f.kind == Kind::Text) {
        s += " \"text\"";
    } else if (f.kind == Kind::Bytes) {
        s += " hex bytes";
    } else if (f.kind == Kind::Numbers) {
        s += " a,b,c";
    }
    if (f.enumeration) {
        s += ", or one of";
        for (const EnumValue &v : f.enumeration->values) s += std::string(" ") + v.name;
    }
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

}  // namespace

int main(int argc, char **argv) {
    mcu_shell::SessionOptions session;
    session.program = "mcu-agent-send";
    long wait_ms = 500;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!words.empty()) {
            words.push_back(a);
        } else if ((a == "--socket" || a == "--wait") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--socket") session.socket = v;
            else if (!mcu_cli::parse_int(v, 0, 3600 * 1000, &wait_ms))
                return bad(nullptr, "--wait takes milliseconds, 0 to 3600000: " + v);
        } else if (a == "--no-version-answer") {
            session.answer_versions = false;
        } else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-send");
            return 0;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a.find('=') == std::string::npos) {
            std::fprintf(stderr, "mcu-agent-send: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Command *c = command_named(words[0]);
    if (!c) return bad(nullptr, "no command " + words[0] + " (the MCU_CMD_ names, or an id such as 0x21)");
    Values values;
    std::string error;
    Bytes payload;
    if (!parse_assignments(c->layouts, {words.begin() + 1, words.end()}, &values, &error) ||
        !encode_any(c->layouts, values, &payload, &error))
        return bad(c, error);

    if (!mcu_shell::open_session(session)) return 1;
    if (mcu_shell::send_frame(c->id, payload, "app > " + frame_words(Direction::App, c->id, payload)) < 0) {
        std::fprintf(stderr, "mcu-agent-send: not sent: the connection to the agent has ended\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    return 0;
}
