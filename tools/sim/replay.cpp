// replay.cpp - capture playback, with or without answering.
#include "replay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "input_file.h"

namespace mcu_sim {

namespace {

// Far beyond a capture of a test run; what a replay keeps in memory.
constexpr std::size_t kMaxReplayFileBytes = 64u << 20;

using mcu_protocol::CaptureEvent;
using mcu_protocol::CaptureRecord;
using mcu_protocol::Direction;

}  // namespace

bool ReplayScript::load(const std::string &file, const ReplayOptions &options, std::string *error) {
    std::vector<CaptureRecord> records;
    std::string text;
    if (!mcu_cli::read_input_file(file, kMaxReplayFileBytes, &text, error) ||
        !mcu_protocol::read_capture_text(text, file, &records, error))
        return false;
    options_ = options;
    file_ = file;
    head_.clear();
    exchanges_.clear();

    // The connection to play: the one asked for, or the first with a frame.
    connection_ = options.connection;
    bool found = false;
    std::string seen;
    int last_seen = -1;
    for (const CaptureRecord &r : records) {
        if (r.event != CaptureEvent::Frame) continue;
        if (!found && options.connection == 0) connection_ = r.connection;
        if (r.connection == connection_) found = true;
        if (r.connection != last_seen && seen.find("#" + std::to_string(r.connection) + " ") == std::string::npos)
            seen += "#" + std::to_string(r.connection) + " ";
        last_seen = r.connection;
    }
    if (!found && !records.empty() && options.connection != 0) {
        *error = file + " has no frames of connection #" + std::to_string(options.connection) +
                 (seen.empty() ? "" : "; it has " + seen.substr(0, seen.size() - 1));
        return false;
    }

    bool based = false;
    for (const CaptureRecord &r : records) {
        if (r.connection != connection_) continue;
        if (r.event == CaptureEvent::Connect && !based) {
            head_base_us_ = r.stamp_us;
            based = true;
        }
        if (r.event != CaptureEvent::Frame) continue;
        if (!based) {
            head_base_us_ = r.stamp_us;
            based = true;
        }
        if (r.direction == Direction::App) {
            // Bytes that were not a frame cannot be matched; what followed
            // them stays with the exchange before.
            if (options.answer && r.valid) exchanges_.push_back({r, {}});
            continue;
        }
        if (options.answer && !exchanges_.empty())
            exchanges_.back().answers.push_back(r);
        else
            head_.push_back(r);
    }
    return true;
}

std::size_t ReplayScript::agent_frames() const {
    std::size_t n = head_.size();
    for (const Exchange &e : exchanges_) n += e.answers.size();
    return n;
}

std::string ReplayScript::describe() const {
    std::string s = std::to_string(agent_frames()) + " agent frames" +
                    (connection_ ? " of #" + std::to_string(connection_) : "") + " from " + file_;
    if (options_.answer)
        s += ", " + std::to_string(head_.size()) + " on connect, the rest answering " +
             std::to_string(exchanges_.size()) + " application frames";
    if (options_.fast) {
        s += ", as fast as possible";
    } else if (options_.speed != 1.0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, ", %g times the recorded speed", options_.speed);
        s += buf;
    } else {
        s += ", recorded timing";
    }
    if (options_.loops != 1) s += options_.loops ? ", " + std::to_string(options_.loops) + " times" : ", looping";
    return s;
}

ReplaySession::ReplaySession(const ReplayScript &script, int64_t now_ms)
    : script_(script), used_(script.exchanges_.size(), false),
      loops_left_(script.options_.loops == 0 ? -1 : script.options_.loops - 1) {
    queue(script_.head_, script_.head_base_us_, now_ms);
}

void ReplaySession::queue(const std::vector<CaptureRecord> &records, int64_t base_us, int64_t now_ms) {
    const ReplayOptions &o = script_.options_;
    for (const CaptureRecord &r : records) {
        int64_t due = now_ms;
        if (!o.fast)
            due += static_cast<int64_t>(std::llround(static_cast<double>(r.stamp_us - base_us) / 1000.0 / o.speed));
        // Never ahead of a frame queued before it.
        if (!pending_.empty() && due < pending_.back().due_ms) due = pending_.back().due_ms;
        pending_.push_back({due, r});
    }
}

int ReplaySession::find(uint8_t id, const mcu_protocol::Bytes &payload) const {
    const auto &ex = script_.exchanges_;
    for (std::size_t i = 0; i < ex.size(); ++i)
        if (!used_[i] && ex[i].request.id == id && ex[i].request.payload == payload) return static_cast<int>(i);
    for (std::size_t i = 0; i < ex.size(); ++i)
        if (!used_[i] && ex[i].request.id == id) return static_cast<int>(i);
    return -1;
}

bool ReplaySession::on_app_frame(uint8_t id, const mcu_protocol::Bytes &payload, int64_t now_ms) {
    if (!script_.options_.answer) return true;
    int i = find(id, payload);
    if (i < 0 && loops_left_ != 0) {
        // Every recorded request of this kind was answered: the next pass.
        const std::vector<bool> before = used_;
        std::fill(used_.begin(), used_.end(), false);
        i = find(id, payload);
        if (i < 0)
            used_ = before;
        else if (loops_left_ > 0)
            --loops_left_;
    }
    if (i < 0) return false;
    used_[static_cast<std::size_t>(i)] = true;
    const ReplayScript::Exchange &e = script_.exchanges_[static_cast<std::size_t>(i)];
    queue(e.answers, e.request.stamp_us, now_ms);
    return true;
}

bool ReplaySession::recorded(uint8_t id) const {
    for (const ReplayScript::Exchange &e : script_.exchanges_)
        if (e.request.id == id) return true;
    return false;
}

const CaptureRecord *ReplaySession::due(int64_t now_ms) const {
    if (pending_.empty() || pending_.front().due_ms > now_ms) return nullptr;
    return &pending_.front().record;
}

bool ReplaySession::finished(int64_t now_ms) {
    if (!pending_.empty() || script_.options_.answer) return false;
    if (loops_left_ == 0 || script_.head_.empty()) return true;
    if (loops_left_ > 0) --loops_left_;
    queue(script_.head_, script_.head_base_us_, now_ms);
    return false;
}

}  // namespace mcu_sim
