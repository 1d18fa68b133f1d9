// scenario.cpp - reading and checking scenario files.
#include "scenario.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "description.h"
#include "replay.h"
#include "value_check.h"
#include "virtual_mcu.h"
#include "words.h"

namespace mcu_sim {

namespace {

bool parse_ms(const std::string &word, int *ms) {
    if (word.empty() || word[0] == '-' || word[0] == '+') return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(word.c_str(), &end, 10);
    if (errno || *end || v > 24L * 3600 * 1000) return false;
    *ms = static_cast<int>(v);
    return true;
}


// expect app COMMAND [field=value ...] [never] within MS
bool parse_expect(const std::vector<std::string> &w, Expectation *e, std::string *error) {
    const char *usage = "expect app COMMAND [field=value ...] [never] within MS";
    if (w.size() < 5 || w[1] != "app" || w[w.size() - 2] != "within") {
        *error = std::string("expect: ") + usage;
        return false;
    }
    if (!parse_ms(w.back(), &e->within_ms)) {
        *error = "expect: within takes milliseconds, not " + w.back();
        return false;
    }
    e->never = w.size() >= 6 && w[w.size() - 3] == "never";
    if (!parse_expected_command(std::vector<std::string>(w.begin() + 2, w.end() - (e->never ? 3 : 2)), e, error))
        return false;
    if (e->never) e->text += " never";
    return true;
}

bool same_value(const mcu_protocol::Value &a, const mcu_protocol::Value &b) {
    return a.number == b.number && a.numbers == b.numbers && a.bytes == b.bytes;
}

// A console that acts on a copy of the state and sends nothing: a command
// that fails here would fail when the scenario runs.
class DryRun : public ConsoleTarget {
public:
    explicit DryRun(const State &state) : state_(state), mcu_(state_) {}
    State &state() override { return state_; }
    VirtualMcu &mcu() override { return mcu_; }
    void broadcast(const Outgoing &) override {}
    void broadcast_raw(const mcu_protocol::Bytes &) override {}
    void ask_version(uint32_t) override {}
    bool start_replay(const std::string &file, bool fast, std::string *error) override {
        ReplayOptions options;
        options.fast = fast;
        ReplayScript script;
        return script.load(file, options, error);
    }
    std::string describe_clients() override { return ""; }
    void quit() override {}
    void say(const std::string &line) override { said_ = line; }
    const std::string &said() const { return said_; }

private:
    State state_;
    VirtualMcu mcu_;
    std::string said_;
};

}  // namespace

bool parse_expected_command(const std::vector<std::string> &words, Expectation *e, std::string *error) {
    if (words.empty()) {
        *error = "expect: no command";
        return false;
    }
    const mcu_protocol::Command *c = mcu_protocol::command_named(words[0], error);
    if (!c) {
        *error = "expect: " + *error;
        return false;
    }
    const std::vector<std::string> assignments(words.begin() + 1, words.end());
    e->fields.clear();
    if (!mcu_protocol::parse_assignments(c->layouts, assignments, &e->fields, error)) {
        *error = "expect " + std::string(c->name) + ": " + *error;
        return false;
    }
    // A value the frame cannot carry would only ever time out.
    *error = mcu_protocol::check_values(c->layouts, e->fields);
    if (!error->empty()) {
        *error = "expect " + std::string(c->name) + ": " + *error;
        return false;
    }
    e->id = c->id;
    e->text = c->name;
    for (const std::string &a : assignments) e->text += " " + a;
    return true;
}

bool parse_scenario(const std::string &text, std::vector<ScenarioLine> *lines, std::string *error) {
    lines->clear();
    double latest = -1;  // the latest time so far, and its line
    int latest_line = 0;
    std::size_t start = 0;
    for (int number = 1; start <= text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto fail = [&](const std::string &why) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        std::vector<std::string> w = split_words(line);
        if (w.empty() || w[0][0] == '#') continue;
        ScenarioLine l;
        l.line_number = number;
        // A leading number is the time of the line.
        const char c0 = w[0][0];
        if ((c0 >= '0' && c0 <= '9') || c0 == '.' || c0 == '-' || c0 == '+') {
            char *stop = nullptr;
            l.at = std::strtod(w[0].c_str(), &stop);
            if (*stop || l.at < 0 || c0 == '+') return fail("expected seconds then a command: " + line);
            w.erase(w.begin());
            if (w.empty()) return fail("no command after the time");
            // Lines run in file order: a time before an earlier one would
            // run late without a word.
            if (l.at < latest) {
                char times[96];
                std::snprintf(times, sizeof times, "%g s comes before %g s of line %d", l.at, latest, latest_line);
                return fail(std::string(times) + "; times may not go back");
            }
            latest = l.at;
            latest_line = number;
        }
        l.command = line.substr(line.find_first_not_of(" \t"));
        if (l.at >= 0) {
            l.command.erase(0, l.command.find_first_of(" \t"));
            l.command.erase(0, l.command.find_first_not_of(" \t"));
        }
        while (!l.command.empty() && (l.command.back() == ' ' || l.command.back() == '\t')) l.command.pop_back();
        if (w[0] == "wait") {
            l.kind = ScenarioLine::Kind::Wait;
            if (w.size() != 2 || !parse_ms(w[1], &l.wait_ms)) return fail("wait: wait MS");
        } else if (w[0] == "expect") {
            l.kind = ScenarioLine::Kind::Expect;
            std::string why;
            if (!parse_expect(w, &l.expect, &why)) return fail(why);
        }
        lines->push_back(std::move(l));
    }
    return true;
}

bool check_scenario(const std::vector<ScenarioLine> &lines, const State &state, std::string *error) {
    DryRun dry(state);
    for (const ScenarioLine &l : lines) {
        if (l.kind != ScenarioLine::Kind::Command) continue;
        if (!run_console_line(dry, l.command)) {
            *error = "line " + std::to_string(l.line_number) + ": " + dry.said();
            return false;
        }
    }
    return true;
}

int fields_matched(const Expectation &e, uint8_t id, const mcu_protocol::Bytes &payload) {
    if (id != e.id) return -1;
    if (e.fields.empty()) return 0;
    const mcu_protocol::Command *c = mcu_protocol::find_command(id);
    const mcu_protocol::Layout *layout = c ? mcu_protocol::select_layout(c->layouts, payload.data(), payload.size())
                                           : nullptr;
    if (!layout) return 0;
    const mcu_protocol::Values got = mcu_protocol::decode(*layout, payload.data(), payload.size());
    int n = 0;
    for (const mcu_protocol::Value &want : e.fields) {
        const mcu_protocol::Value *v = mcu_protocol::find_value(got, want.name);
        if (v && same_value(*v, want)) ++n;
    }
    return n;
}

bool expectation_met(const Expectation &e, uint8_t id, const mcu_protocol::Bytes &payload) {
    return fields_matched(e, id, payload) == static_cast<int>(e.fields.size());
}

std::string closest_frame(const Expectation &e, const std::vector<SeenFrame> &seen, uint64_t since_seq,
                          const std::string &before) {
    const SeenFrame *best = nullptr;
    int best_matched = -1;
    for (const SeenFrame &f : seen) {
        const int n = fields_matched(e, f.id, f.payload);
        if (n >= 0 && n >= best_matched) {
            best = &f;
            best_matched = n;
        }
    }
    const std::string name = mcu_protocol::id_name(mcu_protocol::Direction::App, e.id);
    if (!best) return "no " + name + " was seen";
    return "closest seen: " + mcu_protocol::frame_words(mcu_protocol::Direction::App, best->id, best->payload) +
           (best->seq < since_seq ? ", before the frame " + before + " was met by" : "");
}

}  // namespace mcu_sim
