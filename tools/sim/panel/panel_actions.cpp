// panel_actions.cpp - what the panel's POSTs do (console lines, state
// changes checked as the console's set checks them, scenarios, captures)
// and the JSON views the pages are sent.
#include "panel_internal.h"

namespace mcu_sim {

// ---- actions -------------------------------------------------------------

Reply Panel::run_line(const std::string &line) {
    PanelConsole console(server_);
    if (!run_console_line(console, line)) return error_reply(400, join_lines(console.said), console.said);
    return ok_reply(console.said);
}

Reply Panel::action(const std::string &url, const FormFields &fields) {
    const Form form(fields);
    std::string error, a, b;
    if (url == "/api/set") return set_keys(fields);
    if (url == "/api/key") {
        if (!form.only({"name"}, &error) || !form.get("name", &a, &error)) return error_reply(400, error);
        if (!is_word(a)) return error_reply(400, "not a key name: " + a);
        return run_line("key " + a);
    }
    if (url == "/api/turn") {
        if (!form.only({"dir", "pulses"}, &error) || !form.get("dir", &a, &error) ||
            !form.get("pulses", &b, &error, "1"))
            return error_reply(400, error);
        if ((a != "cw" && a != "ccw") || (b != "1" && b != "2" && b != "3"))
            return error_reply(400, "turn: dir is cw or ccw, pulses 1 to 3");
        return run_line("turn " + a + " " + b);
    }
    if (url == "/api/push") {
        if (!form.only({}, &error)) return error_reply(400, error);
        return run_line("send MCU_MSG_RET_IT_COMMANDER_INFO sw=1");
    }
    if (url == "/api/power") {
        if (!form.only({"state"}, &error) || !form.get("state", &a, &error)) return error_reply(400, error);
        if (a != "on" && a != "off") return error_reply(400, "power: state is on or off");
        return run_line("power " + a);
    }
    if (url == "/api/version") {
        if (!form.only({}, &error)) return error_reply(400, error);
        return run_line("version");
    }
    if (url == "/api/capture/start" || url == "/api/capture/stop") {
        if (!form.only({}, &error)) return error_reply(400, error);
        recording_ = url == "/api/capture/start";
        if (recording_) {
            capture_ = "# mcu-agent-sim capture of " + server_.options().socket_path + ", from the web panel\n";
            capture_frames_ = 0;
        }
        server_.say(std::string("panel: capture ") + (recording_ ? "started" : "stopped after ") +
                    (recording_ ? "" : std::to_string(capture_frames_) + (capture_frames_ == 1 ? " frame" : " frames")));
        return ok_reply();
    }
    if (url == "/api/scenario") {
        if (!form.only({"text", "name"}, &error) || !form.get("text", &a, &error) ||
            !form.get("name", &b, &error, "scenario"))
            return error_reply(400, error);
        if (!server_.start_scenario(a, "the panel's " + b, &error)) return error_reply(400, "scenario: " + error);
        return ok_reply();
    }
    return error_reply(404, "no action " + url);
}

// key=K&value=V pairs, in order, then an optional report=MESSAGE sent from
// the state afterwards (what the MCU reports when that value changes).
// All or nothing: when a value is refused, or the report cannot be built
// from the new values, every key set so far gets its old value back.
Reply Panel::set_keys(const FormFields &fields) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string report;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto &f = fields[i];
        if (f.first == "key") {
            if (i + 1 >= fields.size() || fields[i + 1].first != "value")
                return error_reply(400, "set: each key is followed by its value");
            pairs.emplace_back(f.second, fields[++i].second);
        } else if (f.first == "report" && report.empty()) {
            report = f.second;
        } else {
            return error_reply(400, "set: unexpected form field " + f.first);
        }
    }
    if (pairs.empty()) return error_reply(400, "set: no key");
    const mcu_protocol::Message *message = nullptr;
    if (!report.empty() && (!is_word(report) || !(message = mcu_protocol::find_message(report.c_str()))))
        return error_reply(400, "set: no message " + report + " to report");
    State &state = server_.state();
    std::vector<std::pair<std::string, std::string>> before;
    for (const auto &p : pairs) {
        std::string old;
        if (!is_word(p.first) || !state.get(p.first, &old)) return error_reply(400, "set: no state key " + p.first);
        if (p.second.find_first_of("\"\r\n") != std::string::npos)
            return error_reply(400, "set: a value holds no quotes or line breaks");
        before.emplace_back(p.first, old);
    }
    PanelConsole console(server_);
    auto undo = [&](std::size_t count) {
        for (std::size_t i = count; i-- > 0;) {
            std::string ignored;
            state.set(before[i].first, before[i].second, &ignored);
            server_.say("panel: refused, " + before[i].first + " = " + before[i].second + " again");
        }
        return error_reply(400, join_lines(console.said), console.said);
    };
    for (std::size_t i = 0; i < pairs.size(); ++i)
        if (!run_console_line(console, "set " + pairs[i].first + " \"" + pairs[i].second + "\"")) return undo(i);
    if (message && !run_console_line(console, std::string("send ") + message->name)) return undo(pairs.size());
    return ok_reply(console.said);
}

Reply Panel::capture_download() const {
    if (capture_.empty()) return error_reply(404, "no capture: start one first");
    Reply r;
    r.type = "text/plain; charset=utf-8";
    r.body = capture_;
    r.disposition = "attachment; filename=\"mcu-agent-sim.capture\"";
    return r;
}

// ---- what the pages are sent ---------------------------------------------

std::map<std::string, std::string> Panel::state_now() const {
    std::map<std::string, std::string> values;
    for (const KeyInfo &k : State::keys()) server_.state().get(k.key, &values[k.key]);
    return values;
}

std::string Panel::state_json(const std::map<std::string, std::string> &values) const {
    std::string s = "{";
    for (const auto &kv : values) s += (s.size() > 1 ? "," : "") + json_string(kv.first) + ":" + json_string(kv.second);
    return s + "}";
}

std::string Panel::meta_json() const {
    std::vector<std::string> keys;
    for (const KeyInfo &k : State::keys()) {
        std::vector<std::string> names;
        if (k.enumeration)
            if (const mcu_protocol::Enumeration *e = mcu_protocol::find_enumeration(k.enumeration))
                for (const mcu_protocol::EnumValue &v : e->values) names.push_back(v.name);
        // A number key's range, for the page's sliders: the one the state
        // checks against.
        std::string range;
        if (k.type == KeyType::Number && !k.enumeration) {
            const mcu_protocol::NumberRule r = State::rule(k.key);
            range = ",\"low\":" + std::to_string(r.lowest()) + ",\"high\":" + std::to_string(r.highest());
        }
        keys.push_back("{\"key\":" + json_string(k.key) + ",\"type\":\"" + type_name(k.type) +
                       "\",\"members\":" + json_list(names, true) + ",\"help\":" +
                       json_string(State::describe(k)) + range + "}");
    }
    std::vector<std::string> hard_keys;
    for (const mcu_protocol::EnumValue &v : mcu_protocol::find_enumeration("HARD_KEY_ID")->values)
        hard_keys.push_back(v.name);
    return "{\"socket\":" + json_string(server_.options().socket_path) + ",\"keys\":" + json_list(keys, false) +
           ",\"hard_keys\":" + json_list(hard_keys, true) + "}";
}

std::string Panel::clients_json() const {
    std::vector<std::string> items;
    for (const ClientView &c : server_.client_views())
        items.push_back("{\"number\":" + std::to_string(c.number) + ",\"queued\":" + std::to_string(c.queued) +
                        ",\"replaying\":" + (c.replaying ? "true" : "false") +
                        ",\"version\":" + json_string(c.version) + "}");
    return json_list(items, false);
}

std::string Panel::status_json() const {
    const ScenarioProgress p = server_.scenario_progress();
    return std::string("{\"capture\":{\"recording\":") + (recording_ ? "true" : "false") +
           ",\"frames\":" + std::to_string(capture_frames_) + ",\"bytes\":" + std::to_string(capture_.size()) +
           "},\"scenario\":{\"name\":" + json_string(p.name) + ",\"done\":" + std::to_string(p.done) +
           ",\"total\":" + std::to_string(p.total) + ",\"started\":" + (p.started ? "true" : "false") + "}}";
}

std::string Panel::log_json(const std::deque<std::string> &entries) const {
    std::string s = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) s += (i ? "," : "") + entries[i];
    return s + "]";
}

}  // namespace mcu_sim
