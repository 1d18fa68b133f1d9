// frame_view.cpp - the --id, -t and --direction options.
#include "frame_view.h"

#include <cstdio>

#include "capture.h"
#include "cli.h"
#include "description.h"

namespace mcu_cli {

namespace {

// A plain number 0 to 255, decimal or 0x hex.
bool id_number(const std::string &word, uint8_t *id) {
    long v = 0;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        char *end = nullptr;
        v = std::strtol(word.c_str() + 2, &end, 16);
        if (*end || word.size() > 4) return false;
    } else if (!parse_int(word, 0, 255, &v)) {
        return false;
    }
    *id = static_cast<uint8_t>(v);
    return true;
}

}  // namespace

bool FrameView::add_ids(const std::string &list, std::string *error) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string word = list.substr(start, comma - start);
        start = comma + 1;
        const bool hide = !word.empty() && word[0] == '!';
        if (hide) word.erase(0, 1);
        std::vector<Match> &into = hide ? hidden_ : shown_;
        Match m;
        if (id_number(word, &m.id)) {
            m.both = true;
            into.push_back(m);
            continue;
        }
        // A name without its prefix may name a command and a message.
        std::string ignored;
        const mcu_protocol::Command *c = mcu_protocol::command_named(word, &ignored);
        const mcu_protocol::Message *msg = mcu_protocol::message_named(word, &ignored);
        if (!c && !msg) {
            *error = "--id: no command or message " + word + " (a name of MCU_CMD_ID or MCU_MSG_ID, with or "
                     "without its prefix, or a number)";
            return false;
        }
        if (c) into.push_back({false, mcu_protocol::Direction::App, c->id});
        if (msg) into.push_back({false, mcu_protocol::Direction::Agent, msg->id});
    }
    return true;
}

bool FrameView::take_option(int argc, char **argv, int *i, std::string *error) {
    const std::string a = argv[*i];
    const bool known = a == "--id" || a == "-t" || (takes_direction_ && a == "--direction");
    if (!known) return false;
    if (*i + 1 >= argc) {
        *error = a + " needs a value";
        return false;
    }
    const std::string v = argv[++*i];
    if (a == "--id") return add_ids(v, error);
    if (a == "-t") {
        if (v == "a") stamps_ = TimeStamps::Absolute;
        else if (v == "d") stamps_ = TimeStamps::Delta;
        else if (v == "z") stamps_ = TimeStamps::Zero;
        else {
            *error = "-t takes a (absolute), d (delta to the line before) or z (since the first), not " + v;
            return false;
        }
        return true;
    }
    if (v != "app" && v != "agent") {
        *error = "--direction takes app or agent, not " + v;
        return false;
    }
    one_direction_ = true;
    direction_ = v == "app" ? mcu_protocol::Direction::App : mcu_protocol::Direction::Agent;
    return true;
}

std::string FrameView::usage() const {
    std::string s =
        "  --id ID[,ID...]  only these ids: command or message names (with or without\n"
        "                   MCU_CMD_/MCU_MSG_) or numbers (0x21, 33: both directions);\n"
        "                   !ID leaves one out\n"
        "  -t a|d|z         times: absolute, delta to the line before, since the first\n";
    if (takes_direction_) s += "  --direction app|agent  one direction only\n";
    return s;
}

bool FrameView::direction_shown(mcu_protocol::Direction d) const { return !one_direction_ || d == direction_; }

bool FrameView::shows(mcu_protocol::Direction d, uint8_t id) const {
    if (!direction_shown(d)) return false;
    for (const Match &m : hidden_)
        if (m.matches(d, id)) return false;
    if (shown_.empty()) return true;
    for (const Match &m : shown_)
        if (m.matches(d, id)) return true;
    return false;
}

bool FrameView::shows_unframed(mcu_protocol::Direction d) const { return direction_shown(d) && shown_.empty(); }

std::string FrameView::stamp(int64_t us) {
    if (!have_first_) {
        have_first_ = true;
        first_us_ = previous_us_ = us;
    }
    int64_t shown = us;
    if (stamps_ == TimeStamps::Delta) shown = us - previous_us_;
    if (stamps_ == TimeStamps::Zero) shown = us - first_us_;
    previous_us_ = us;
    switch (stamps_) {
        case TimeStamps::None: return "";
        case TimeStamps::Absolute: return mcu_protocol::format_stamp(us);
        case TimeStamps::Delta:
        case TimeStamps::Zero: break;
    }
    const char *sign = shown < 0 ? "-" : "";
    if (shown < 0) shown = -shown;
    char buf[48];
    std::snprintf(buf, sizeof buf, "(%s%03lld.%06lld)", sign, static_cast<long long>(shown / 1000000),
                  static_cast<long long>(shown % 1000000));
    return buf;
}

}  // namespace mcu_cli
