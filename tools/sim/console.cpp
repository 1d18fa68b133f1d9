// console.cpp - console commands and scenario files.
#include "console.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include <mcu_agent_api.h>

#include "description.h"
#include "value_check.h"
#include "words.h"

namespace mcu_sim {

namespace {

using mcu_protocol::number_value;
using mcu_protocol::Values;

const char kHelp[] =
    "commands: key NAME | power on|off | turn cw|ccw [1-3] | hvac [field=value ...] |\n"
    "          send MESSAGE [field=value ...] | raw ID LENGTH PAYLOAD... | garbage HEX... |\n"
    "          version [TYPE] | get [KEY] | set KEY VALUE | replay FILE [fast] | clients | quit\n"
    "          help COMMAND (help key, help hvac, help send MESSAGE, help set KEY)";

// The field names of a message's layouts, each once.
std::string field_names(const mcu_protocol::Message &m) {
    std::vector<std::string> names;
    for (const mcu_protocol::Layout &l : m.layouts)
        for (const mcu_protocol::Field &f : l.fields)
            if (std::find(names.begin(), names.end(), f.name) == names.end()) names.push_back(f.name);
    std::string s;
    for (const std::string &n : names) s += (s.empty() ? "" : " ") + n;
    return s;
}

std::string enumeration_names(const mcu_protocol::Enumeration &e) {
    std::string s;
    for (const mcu_protocol::EnumValue &v : e.values) s += (s.empty() ? "" : " ") + std::string(v.name);
    return s;
}

// What `help` says about one message: each field, its place and its values.
std::string describe_message(const mcu_protocol::Message &m) {
    std::string s = std::string(m.name) + ": fields (unnamed ones come from the state):";
    std::vector<std::string> done;
    for (const mcu_protocol::Layout &l : m.layouts)
        for (const mcu_protocol::Field &f : l.fields) {
            if (std::find(done.begin(), done.end(), f.name) != done.end()) continue;
            done.push_back(f.name);
            s += "\n  " + std::string(f.name);
            if (f.kind == mcu_protocol::Kind::Number) {
                const unsigned bits = f.bits ? f.bits : 8u * f.width;
                s += bits >= 32 ? " 0 to 4294967295" : " 0 to " + std::to_string((1ull << bits) - 1);
            } else if (f.kind == mcu_protocol::Kind::Text) {
                s += " \"text\"";
            } else if (f.kind == mcu_protocol::Kind::Bytes) {
                s += " hex bytes";
            } else if (f.kind == mcu_protocol::Kind::Numbers) {
                s += " a,b,c";
            }
            if (f.enumeration) s += ": " + enumeration_names(*f.enumeration);
        }
    return s;
}

// `command` is the word the person typed, so that errors name it.
// Values of enumerated fields must be members, except where the command
// takes a bare number on purpose (key NUMBER).
bool send_message(ConsoleTarget &t, const std::string &command, const mcu_protocol::Message &m,
                  const std::vector<std::string> &assignments, bool members_only = true) {
    Values overrides;
    std::string error;
    if (!mcu_protocol::parse_assignments(m.layouts, assignments, &overrides, &error)) {
        if (error.rfind("no field ", 0) == 0) error += "; fields: " + field_names(m);
        t.say(command + ": " + error);
        return false;
    }
    error = mcu_protocol::check_values(m.layouts, overrides, members_only);
    if (!error.empty()) {
        t.say(command + " " + m.name + ": " + error);
        return false;
    }
    Outgoing out;
    if (!t.mcu().build(m.id, overrides, &out, &error)) {
        t.say(command + " " + m.name + ": " + error);
        return false;
    }
    // The MCU's state follows what it reports.
    for (const std::string &note : t.mcu().absorb(out)) t.say("mcu: " + note);
    t.broadcast(out);
    return true;
}


bool key_press(ConsoleTarget &t, const std::vector<std::string> &w) {
    const mcu_protocol::Enumeration &keys = *mcu_protocol::find_enumeration("HARD_KEY_ID");
    uint32_t ignored;
    if (w.size() != 2) {
        t.say("key: key NAME (a HARD_KEY_ID member or a number; help key lists them)");
        return false;
    }
    const bool number = !w[1].empty() && std::isdigit(static_cast<unsigned char>(w[1][0]));
    if (!number && !mcu_protocol::enum_value(keys, w[1].c_str(), &ignored)) {
        t.say("key: " + w[1] + " is not a HARD_KEY_ID member; help key lists them");
        return false;
    }
    return send_message(t, "key", *mcu_protocol::find_message(VirtualMcu::message_id("MCU_MSG_RET_HARD_KEY")),
                        {"key=" + w[1]}, false);
}

bool power_key(ConsoleTarget &t, const std::vector<std::string> &w) {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) {
        t.say("power: power on | power off");
        return false;
    }
    const bool on = w[1] == "on";
    t.state().set_number("power.status", on ? POWER_STATUS_ON : POWER_STATUS_OFF);
    t.state().set_number("power.mode", on ? POWER_MODE_USER_ON : POWER_MODE_USER_OFF);
    return send_message(t, "power", *mcu_protocol::find_message(VirtualMcu::message_id("MCU_MSG_RET_POWER_KEY")), {});
}

bool turn(ConsoleTarget &t, const std::vector<std::string> &w) {
    const int pulses = w.size() == 3 ? std::atoi(w[2].c_str()) : 1;
    if (w.size() < 2 || w.size() > 3 || (w[1] != "cw" && w[1] != "ccw") || pulses < 1 || pulses > 3) {
        t.say("turn: turn cw|ccw [1-3]");
        return false;
    }
    const uint32_t encoder = static_cast<uint32_t>(w[1] == "cw" ? ENCODER_CW_1PULSE + pulses - 1
                                                                 : ENCODER_CCW_1PULSE + pulses - 1);
    return send_message(t, "turn", *mcu_protocol::find_message(VirtualMcu::message_id("MCU_MSG_RET_IT_COMMANDER_INFO")),
                        {"encoder=" + std::to_string(encoder)});
}

bool raw(ConsoleTarget &t, const std::vector<std::string> &w, bool framed) {
    std::string joined;
    for (std::size_t i = 1; i < w.size(); ++i) joined += w[i] + " ";
    mcu_protocol::Bytes bytes;
    if (!mcu_protocol::parse_hex(joined, &bytes) || bytes.empty()) {
        t.say(framed ? "raw: raw ID LENGTH PAYLOAD... in hex" : "garbage: garbage HEX...");
        return false;
    }
    if (!framed) {
        t.broadcast_raw(bytes);
        return true;
    }
    // A length byte that disagrees with the payload would cut the
    // application's stream in the wrong places from here on.
    if (bytes.size() < 2 || bytes[1] != bytes.size() - 2) {
        t.say("raw: the length byte must count the payload bytes that follow it (" +
              std::to_string(bytes.size() < 2 ? 0 : bytes.size() - 2) + " here); use garbage for broken bytes");
        return false;
    }
    Outgoing out;
    out.id = bytes[0];
    out.payload.assign(bytes.begin() + 2, bytes.end());
    t.broadcast(out);
    return true;
}

bool version(ConsoleTarget &t, const std::vector<std::string> &w) {
    uint32_t type = t.state().number("version.request_type");
    if (w.size() == 2 && !mcu_protocol::enum_value(*mcu_protocol::find_enumeration("VERSION_TYPE_ID"), w[1].c_str(),
                                                   &type)) {
        t.say("version: version [VERSION_TYPE_HMI|VERSION_TYPE_BT]");
        return false;
    }
    t.ask_version(type);
    return true;
}

bool get(ConsoleTarget &t, const std::vector<std::string> &w) {
    if (w.size() == 1) {
        for (const KeyInfo &k : State::keys()) {
            std::string v;
            t.state().get(k.key, &v);
            t.say(std::string(k.key) + " = " + v);
        }
        return true;
    }
    std::string v;
    if (w.size() != 2 || !t.state().get(w[1], &v)) {
        t.say("get: no state key " + (w.size() > 1 ? w[1] : std::string()));
        return false;
    }
    t.say(w[1] + " = " + v);
    return true;
}

bool set(ConsoleTarget &t, const std::vector<std::string> &w) {
    if (w.size() < 3) {
        t.say("set: set KEY VALUE");
        return false;
    }
    std::string value = w[2];
    for (std::size_t i = 3; i < w.size(); ++i) value += " " + w[i];
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    std::string error;
    if (!t.state().set(w[1], value, &error)) {
        t.say("set: " + error);
        return false;
    }
    std::string now;
    t.state().get(w[1], &now);
    t.say(w[1] + " = " + now);
    return true;
}

bool help(ConsoleTarget &t, const std::vector<std::string> &w) {
    if (w.size() == 1) {
        t.say(kHelp);
        return true;
    }
    const std::string &c = w[1];
    const struct {
        const char *command, *usage, *message, *enumeration;
    } topics[] = {
        {"key", "key NAME: a key press (MCU_MSG_RET_HARD_KEY); NAME is one of", nullptr, "HARD_KEY_ID"},
        {"power", "power on | power off: the power key (MCU_MSG_RET_POWER_KEY); sets power.status and power.mode",
         nullptr, nullptr},
        {"turn", "turn cw|ccw [1-3]: an IT commander turn of 1 to 3 pulses", nullptr, nullptr},
        {"hvac", "hvac [field=value ...]: a climate report from the state;", "MCU_MSG_RET_HVAC_INFO", nullptr},
        {"version", "version [TYPE]: ask the application for its version; TYPE is one of", nullptr, "VERSION_TYPE_ID"},
        {"raw", "raw ID LENGTH PAYLOAD...: one frame from hex bytes", nullptr, nullptr},
        {"garbage", "garbage HEX...: bytes outside any frame", nullptr, nullptr},
        {"get", "get [KEY]: the state, or one key", nullptr, nullptr},
        {"replay", "replay FILE [fast]: play a capture's agent frames to every application", nullptr, nullptr},
        {"clients", "clients: the connected applications", nullptr, nullptr},
        {"quit", "quit: stop serving", nullptr, nullptr},
    };
    for (const auto &topic : topics) {
        if (c != topic.command) continue;
        std::string s = topic.usage;
        if (topic.enumeration) s += " " + enumeration_names(*mcu_protocol::find_enumeration(topic.enumeration));
        if (topic.message) s += " " + describe_message(*mcu_protocol::find_message(topic.message));
        t.say(s);
        return true;
    }
    if (c == "send") {
        std::string unknown;
        const mcu_protocol::Message *m = w.size() == 3 ? mcu_protocol::message_named(w[2], &unknown) : nullptr;
        if (m == nullptr && w.size() == 3) {
            t.say("help send: " + unknown);
            return false;
        }
        if (!m) {
            std::string names;
            for (const mcu_protocol::Message &msg : mcu_protocol::messages()) names += " " + std::string(msg.name);
            t.say("send MESSAGE [field=value ...]: any message, unnamed fields from the state; help send MESSAGE lists "
                  "its fields; MESSAGE is one of" + names);
            return w.size() == 2;
        }
        t.say(describe_message(*m));
        return true;
    }
    if (c == "set") {
        if (w.size() == 3) {
            for (const KeyInfo &k : State::keys())
                if (w[2] == k.key) {
                    std::string v;
                    t.state().get(k.key, &v);
                    std::string s = std::string(k.key) + " = " + v + ": " + State::describe(k);
                    if (k.enumeration) s += "; one of " + enumeration_names(*mcu_protocol::find_enumeration(k.enumeration));
                    t.say(s);
                    return true;
                }
        }
        std::string keys;
        for (const KeyInfo &k : State::keys()) keys += " " + std::string(k.key);
        t.say("set KEY VALUE: change the state; help set KEY says more; KEY is one of" + keys);
        return true;
    }
    t.say("help: no command " + c + "; " + kHelp);
    return false;
}

}  // namespace

std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
            any = true;
            word += c;  // kept: Text fields read quoted text
        } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

bool run_console_line(ConsoleTarget &t, const std::string &line) {
    const std::vector<std::string> w = split_words(line);
    if (w.empty() || w[0][0] == '#') return true;
    const std::string &c = w[0];
    if (c == "help") return help(t, w);
    if (c == "key") return key_press(t, w);
    if (c == "power") return power_key(t, w);
    if (c == "turn") return turn(t, w);
    if (c == "hvac")
        return send_message(t, "hvac", *mcu_protocol::find_message(VirtualMcu::message_id("MCU_MSG_RET_HVAC_INFO")),
                            std::vector<std::string>(w.begin() + 1, w.end()));
    if (c == "send") {
        if (w.size() < 2) {
            t.say("send: send MESSAGE [field=value ...], MESSAGE a name of MCU_MSG_ID or 0xNN");
            return false;
        }
        std::string unknown;
        const mcu_protocol::Message *m = mcu_protocol::message_named(w[1], &unknown);
        if (!m) {
            t.say("send: " + unknown);
            return false;
        }
        return send_message(t, "send", *m, std::vector<std::string>(w.begin() + 2, w.end()));
    }
    if (c == "raw") return raw(t, w, true);
    if (c == "garbage") return raw(t, w, false);
    if (c == "version") return version(t, w);
    if (c == "get") return get(t, w);
    if (c == "set") return set(t, w);
    if (c == "replay") {
        std::string error;
        if (w.size() < 2 || w.size() > 3 || (w.size() == 3 && w[2] != "fast")) {
            t.say("replay: replay FILE [fast]");
            return false;
        }
        if (!t.start_replay(w[1], w.size() == 3, &error)) {
            t.say("replay: " + error);
            return false;
        }
        return true;
    }
    if (c == "clients") {
        t.say(t.describe_clients());
        return true;
    }
    if (c == "quit" || c == "exit") {
        t.quit();
        return true;
    }
    t.say("unknown command " + c + "; " + kHelp);
    return false;
}

}  // namespace mcu_sim
