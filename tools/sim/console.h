// console.h - the virtual MCU's commands, one a line, typed on its
// standard input or read from a scenario file:
//
//   key HARD_KEY_POWER                       a key press (MCU_MSG_RET_HARD_KEY)
//   power off | power on                     the power key
//   turn cw|ccw [1-3]                        an IT commander turn
//   hvac [field=value ...]                   an HVAC report from the state
//   send MCU_MSG_RET_HVAC_INFO AC_on_off=0   any message; unnamed fields
//                                            come from the state
//   raw 04 01 12                             id, length and payload in hex
//   garbage 12 34                            bytes outside any frame
//   version [VERSION_TYPE_BT]                ask for the application's version
//   get [key]   set key value                read or change the state
//   replay FILE [fast]                       play a capture's agent frames
//   clients   help   quit
//
// Messages go to every connected application.
#ifndef MCU_SIM_CONSOLE_H
#define MCU_SIM_CONSOLE_H

#include <string>
#include <vector>

#include "frame.h"
#include "state.h"
#include "virtual_mcu.h"

namespace mcu_sim {

// What the console acts on; the server implements it.
class ConsoleTarget {
public:
    virtual ~ConsoleTarget() = default;
    virtual State &state() = 0;
    virtual VirtualMcu &mcu() = 0;
    // Sends a message to every connected application.
    virtual void broadcast(const Outgoing &message) = 0;
    // Sends bytes as they are to every connected application.
    virtual void broadcast_raw(const mcu_protocol::Bytes &bytes) = 0;
    virtual void ask_version(uint32_t type) = 0;
    virtual bool start_replay(const std::string &file, bool fast, std::string *error) = 0;
    virtual std::string describe_clients() = 0;
    virtual void quit() = 0;
    // A reply line for the person at the console.
    virtual void say(const std::string &line) = 0;
};

// Splits a line into words; double quotes keep spaces inside one word.
std::vector<std::string> split_words(const std::string &line);

// Runs one console line.  False when the line was not a valid command
// (the reason was said).
bool run_console_line(ConsoleTarget &target, const std::string &line);


}  // namespace mcu_sim

#endif  // MCU_SIM_CONSOLE_H
