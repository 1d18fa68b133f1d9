// scenario.h - a scenario file: what the virtual MCU does and what it
// expects of the application, one line each, in file order:
//
//   0.5 key HARD_KEY_SEEK_UP                  a console command; a leading
//                                             number of seconds holds the
//                                             line until then (counted from
//                                             the first connection)
//   wait 200                                  the next line 200 ms later
//   expect app MCU_CMD_GET_RADIO_NOTIFY within 500
//   expect app SET_AUDIO_SOURCE audio_source=AUDIO_SOURCE_AUX within 1000
//                                             the application sends that
//                                             command (with those field
//                                             values) within the time,
//                                             counted from the line before
//   expect app GET_SYNC never within 500      ... and this one it does not
//   # a comment
//
// Expectations are met in file order: each by a frame that came after the
// one that met the expectation before it.  Every line is checked when the
// file is read (field values against their width and enumeration, times
// that do not go back, commands by a dry run against a copy of the state),
// so a mistake stops the program before it serves anything.
#ifndef MCU_SIM_SCENARIO_H
#define MCU_SIM_SCENARIO_H

#include <string>
#include <vector>

#include "codec.h"
#include "frame.h"
#include "state.h"

namespace mcu_sim {

struct Expectation {
    uint8_t id = 0;
    std::string text;             // "MCU_CMD_X field=value" for the log
    mcu_protocol::Values fields;  // the values the frame must have
    int within_ms = 0;
    bool never = false;           // met when no such frame comes in the time
};

struct ScenarioLine {
    enum class Kind { Command, Wait, Expect };
    Kind kind = Kind::Command;
    double at = -1;  // seconds from the start; -1: right after the line before
    std::string command;
    int wait_ms = 0;
    Expectation expect;
    int line_number = 0;
};

// A frame the application sent, as expectations look at it.
struct SeenFrame {
    uint64_t seq;  // arrival order, across all applications
    int64_t at_ms;
    uint8_t id;
    mcu_protocol::Bytes payload;
};

// Reads what an expectation waits for, "COMMAND [field=value ...]" (the
// words of an expect line between "app" and "[never] within"): the command
// by name, each value checked against its field.  `e->text` names it.
bool parse_expected_command(const std::vector<std::string> &words, Expectation *e, std::string *error);

// Reads the lines; false with "line N: ..." in `error` on the first line
// that is not a timed command, a wait or an expectation.
bool parse_scenario(const std::string &text, std::vector<ScenarioLine> *lines, std::string *error);
// Runs every command line against a copy of `state` without sending
// anything; false with "line N: ..." on the first that fails.
bool check_scenario(const std::vector<ScenarioLine> &lines, const State &state, std::string *error);
// Whether an application frame is what `e` waits for.
bool expectation_met(const Expectation &e, uint8_t id, const mcu_protocol::Bytes &payload);
// How many of the expected field values a frame of the expected command
// has; -1 for a frame of another command.  The failed expectation names
// the frame that came closest.
int fields_matched(const Expectation &e, uint8_t id, const mcu_protocol::Bytes &payload);
// Why a failed expectation failed, in words: the frame of the expected
// command among `seen` that matched the most fields (the latest of equals),
// "closest seen: MCU_CMD_X(0x..) field=value ...", said to be early when it
// came before `since_seq`, the frame that met `before` (the expectation
// before this one); or "no MCU_CMD_X was seen".
std::string closest_frame(const Expectation &e, const std::vector<SeenFrame> &seen, uint64_t since_seq,
                          const std::string &before = "the line above");

}  // namespace mcu_sim

#endif  // MCU_SIM_SCENARIO_H
