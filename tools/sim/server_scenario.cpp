// server_scenario.cpp - a scenario running in the server: its lines in
// turn, and each expectation met, failed or still open.
#include "server.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "description.h"
#include "server_internal.h"
#include "words.h"

namespace mcu_sim {

using mcu_protocol::Bytes;

bool Server::start_scenario(const std::string &text, const std::string &name, std::string *error) {
    std::vector<ScenarioLine> lines;
    if (!parse_scenario(text, &lines, error)) return false;
    // Checked before the dry run, which would open the file.
    for (const ScenarioLine &line : lines) {
        if (line.kind != ScenarioLine::Kind::Command) continue;
        const std::vector<std::string> w = split_words(line.command);
        if (w.size() >= 2 && w[0] == "replay" && !replay_allowed_from_panel(w[1])) {
            *error = "line " + std::to_string(line.line_number) + ": " + panel_replay_refusal(w[1]);
            return false;
        }
    }
    if (!check_scenario(lines, state_, error)) return false;
    scenario_ = std::move(lines);
    scenario_next_ = 0;
    scenario_start_ms_ = step_ready_ms_ = step_since_ms_ = steady_ms();
    since_seq_ = next_seq_;
    expecting_ = false;
    scenario_name_ = name;
    log("scenario: " + std::to_string(scenario_.size()) + " lines from " + name + ", started");
    return true;
}

bool Server::replay_allowed_from_panel(const std::string &file) const {
    return !options_.replay_file.empty() && file == options_.replay_file;
}

std::string Server::panel_replay_refusal(const std::string &file) const {
    return "replay: the panel opens no file it is given (" + file + "); it replays only the --replay file" +
           (options_.replay_file.empty() ? ", and none was given" : " (" + options_.replay_file + ")");
}

ScenarioProgress Server::scenario_progress() const {
    ScenarioProgress p;
    p.name = scenario_name_;
    p.done = scenario_next_;
    p.total = scenario_.size();
    p.started = scenario_start_ms_ >= 0;
    return p;
}

void Server::run_scenario(int64_t now) {
    while (scenario_start_ms_ >= 0 && scenario_next_ < scenario_.size()) {
        const ScenarioLine &line = scenario_[scenario_next_];
        if (expecting_) {
            if (!settle_expectation(line, now)) return;
            expecting_ = false;
            step_since_ms_ = step_ready_ms_ = now;
            if (++scenario_next_ == scenario_.size()) log("scenario: done");
            continue;
        }
        int64_t at = step_ready_ms_;
        if (line.at >= 0) at = std::max(at, scenario_start_ms_ + static_cast<int64_t>(line.at * 1000));
        if (now < at) return;
        log("scenario line " + std::to_string(line.line_number) + ": " + line.command);
        switch (line.kind) {
            case ScenarioLine::Kind::Wait:
                step_ready_ms_ = now + line.wait_ms;
                ++scenario_next_;
                break;
            case ScenarioLine::Kind::Expect:
                // Counted from the line before, so that a frame the
                // application sent in answer to it is not missed.
                ++tally_.expectations;
                expecting_ = true;
                expect_deadline_ms_ = step_since_ms_ + line.expect.within_ms;
                break;
            case ScenarioLine::Kind::Command:
                run_console_line(*this, line.command);
                step_since_ms_ = step_ready_ms_ = now;
                since_seq_ = next_seq_;  // what the application sends in answer comes after
                ++scenario_next_;
                break;
        }
        if (scenario_next_ == scenario_.size()) log("scenario: done");
    }
}

bool Server::settle_expectation(const ScenarioLine &line, int64_t now) {
    const Expectation &e = line.expect;
    const std::string what = "scenario line " + std::to_string(line.line_number) + ": expect app " + e.text;
    const SeenFrame *match = nullptr;
    for (const SeenFrame &f : seen_)
        if (f.seq >= since_seq_ && expectation_met(e, f.id, f.payload)) {
            match = &f;
            break;
        }
    if (match && e.never) {
        ++tally_.expectations_failed;
        log("!" + what + ": sent after " + std::to_string(match->at_ms - step_since_ms_) + " ms");
        since_seq_ = match->seq + 1;
        return true;
    }
    if (match) {
        log(what + ": met after " + std::to_string(match->at_ms - step_since_ms_) + " ms");
        since_seq_ = match->seq + 1;  // the next expectation is met by a later frame
        return true;
    }
    if (now < expect_deadline_ms_) return false;
    if (e.never) {
        log(what + ": not sent within " + std::to_string(e.within_ms) + " ms: met");
    } else {
        ++tally_.expectations_failed;
        log("!" + what + ": not within " + std::to_string(e.within_ms) + " ms; " + closest_frame(e, seen_, since_seq_));
    }
    since_seq_ = next_seq_;
    return true;
}

}  // namespace mcu_sim
