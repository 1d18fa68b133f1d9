// frame_view.h - which frames a tool shows and how their times read, one
// option parser for every tool that prints frames (mcu-agent-dump, the
// tap):
//
//   --id ID[,ID...]    only these ids: a command or message name (with or
//                      without its prefix) or a number (0x21, 33: either
//                      direction); !ID leaves one out.  Ids may be given
//                      over several --id options.
//   -t a|d|z           the time of each line: absolute (seconds since the
//                      epoch), delta to the line before, or since the first
//   --direction app|agent   one direction only (where the tool takes it)
#ifndef MCU_TOOLS_FRAME_VIEW_H
#define MCU_TOOLS_FRAME_VIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"

namespace mcu_cli {

enum class TimeStamps { None, Absolute, Delta, Zero };

class FrameView {
public:
    // `takes_direction`: whether --direction is one of the tool's options;
    // `stamps`: what the tool prints without -t.
    FrameView(bool takes_direction, TimeStamps stamps) : takes_direction_(takes_direction), stamps_(stamps) {}

    // Takes argv[*i] and its value when it is one of the options above:
    // true, and *i is on the value.  False when it is not one, or (with
    // `error` set) when its value is wrong.
    bool take_option(int argc, char **argv, int *i, std::string *error);
    // The options' lines for --help.
    std::string usage() const;

    // Whether a frame of `id` in `direction` is shown.  Bytes that were no
    // frame have no id: they are shown unless --id names ids to show.
    bool shows(mcu_protocol::Direction direction, uint8_t id) const;
    bool shows_unframed(mcu_protocol::Direction direction) const;
    // The stamp of the next line shown, "(1733590000.123456)",
    // "(000.000512)", or "" without stamps; remembers it for -t d and z.
    std::string stamp(int64_t stamp_us);
    TimeStamps stamps() const { return stamps_; }

private:
    struct Match {
        bool both = false;  // a number: either direction
        mcu_protocol::Direction direction = mcu_protocol::Direction::App;
        uint8_t id = 0;
        bool matches(mcu_protocol::Direction d, uint8_t i) const { return i == id && (both || d == direction); }
    };
    bool add_ids(const std::string &list, std::string *error);
    bool direction_shown(mcu_protocol::Direction d) const;

    bool takes_direction_;
    TimeStamps stamps_;
    std::vector<Match> shown_, hidden_;
    bool one_direction_ = false;
    mcu_protocol::Direction direction_ = mcu_protocol::Direction::App;
    bool have_first_ = false;
    int64_t first_us_ = 0, previous_us_ = 0;
};

}  // namespace mcu_cli

#endif  // MCU_TOOLS_FRAME_VIEW_H
