// link_session.h - what mcu-agent-send and mcu-agent-listen share: a
// connection made by the library itself, as an application makes it, with
// a handler for every message id, so that what they print is what an
// application gets.
#ifndef MCU_SHELL_LINK_SESSION_H
#define MCU_SHELL_LINK_SESSION_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_view.h"
#include "mcu_agent_api.h"

namespace mcu_shell {

struct SessionOptions {
    std::string socket;            // empty: the library's default
    bool answer_versions = true;   // answer MCU_MSG_GET_VERSION_INFO as an application does
    std::string program;           // names the tool in its version answer and its messages
    // Which messages are printed and with what time (--id, -t); every
    // message, without a time, unless told.
    mcu_cli::FrameView view{false, mcu_cli::TimeStamps::None};
};

// One message a line, in the dump's words ("agent > MCU_MSG_...(0x21) ...").
std::string message_line(const PACKET_MSG &msg);

// Connects through the library; every message that arrives is printed on
// standard output, one a line, as it arrives (those `view` shows).
// False when no agent answers now (the library may connect later, with
// a reconnect interval set).
bool open_session(const SessionOptions &options);

// Sends one frame with the library's own frame sender, as its request
// functions do, and prints `line` once it is written: the frame's size, or
// -1 when it was not written (nothing printed).
int send_frame(uint8_t id, const std::vector<uint8_t> &payload, const std::string &line);

// Prints a line on standard output whole, beside the handlers' lines.
void print_line(const std::string &line);

}  // namespace mcu_shell

#endif  // MCU_SHELL_LINK_SESSION_H
