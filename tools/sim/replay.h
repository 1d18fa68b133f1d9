// replay.h - playing a capture back to an application.
//
// Without `answer` every recorded agent frame of one connection goes out at
// its recorded distance from the start of that connection (or as fast as
// the application reads).  With `answer` the capture is cut into exchanges:
// each application frame and the agent frames that followed it until the
// next application frame.  The agent frames before the first application
// frame go out on their own at their recorded distance from the connect;
// the rest wait for an application frame that matches the recorded one (by
// id and payload, else by id) and then follow it at their recorded distance
// from it.  So an application that asks before it listens is served
// whatever its own timing.
#ifndef MCU_SIM_REPLAY_H
#define MCU_SIM_REPLAY_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "capture.h"

namespace mcu_sim {

struct ReplayOptions {
    bool answer = false;   // answer application frames as the capture did
    bool fast = false;     // no waiting: as fast as the application reads
    double speed = 1.0;    // 2 plays twice as fast
    int loops = 1;         // times through the capture; 0 without end
    int connection = 0;    // the capture's connection to play; 0: the first
};

class ReplayScript {
public:
    bool load(const std::string &file, const ReplayOptions &options, std::string *error);
    const ReplayOptions &options() const { return options_; }
    // "12 agent frames of #2 from FILE, ..." for the log.
    std::string describe() const;
    std::size_t agent_frames() const;

private:
    friend class ReplaySession;
    struct Exchange {
        mcu_protocol::CaptureRecord request;
        std::vector<mcu_protocol::CaptureRecord> answers;
    };
    ReplayOptions options_;
    std::string file_;
    int connection_ = 0;
    std::vector<mcu_protocol::CaptureRecord> head_;  // sent on connect
    int64_t head_base_us_ = 0;                       // the stamp `head_` counts from
    std::vector<Exchange> exchanges_;                // with `answer` only
};

// One application's replay.
class ReplaySession {
public:
    ReplaySession(const ReplayScript &script, int64_t now_ms);
    // An application frame arrived: its recorded answers are queued.  False
    // when answering and the capture has no frame to match it.
    bool on_app_frame(uint8_t id, const mcu_protocol::Bytes &payload, int64_t now_ms);
    // Whether the capture holds a request of `id` at all: when
    // on_app_frame finds none to match, its recorded answers are used up.
    bool recorded(uint8_t id) const;
    // The next frame to send when it is due by `now_ms`, or null.
    const mcu_protocol::CaptureRecord *due(int64_t now_ms) const;
    void pop() {
        pending_.pop_front();
        ++sent_;
    }
    // When the next frame is due; -1 when none waits.
    int64_t next_due_ms() const { return pending_.empty() ? -1 : pending_.front().due_ms; }
    bool fast() const { return script_.options_.fast; }
    bool answering() const { return script_.options_.answer; }
    // Nothing left to send and nothing to answer.
    bool finished(int64_t now_ms);
    std::size_t sent() const { return sent_; }

private:
    struct Pending {
        int64_t due_ms;
        mcu_protocol::CaptureRecord record;
    };
    void queue(const std::vector<mcu_protocol::CaptureRecord> &records, int64_t base_us, int64_t now_ms);
    int find(uint8_t id, const mcu_protocol::Bytes &payload) const;

    const ReplayScript &script_;
    std::deque<Pending> pending_;
    std::vector<bool> used_;
    int loops_left_;  // further passes after this one; -1 without end
    std::size_t sent_ = 0;
};

}  // namespace mcu_sim

#endif  // MCU_SIM_REPLAY_H
