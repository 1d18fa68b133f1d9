// http_panel.h - the web panel of the virtual MCU (mcu-agent-sim --http):
// a single page, built into the program, that drives the car (keys, the
// rotary commander, power and ignition, climate, radio, display, audio),
// shows the connected applications, the state and a live log of every
// frame, and starts captures and scenarios.
//
// It runs inside the server's poll loop as a LoopGuest: the HTTP server
// works in external-poll mode, so every request and every live update is
// handled on the loop's thread, the only thread that touches the state.
// Actions are POSTs that go through the console's own commands, so the
// panel's `set` checks values exactly as the console's does.
//
// Every local user can reach the port, so the panel answers only requests
// that carry its token (made at each start, printed once in the panel's
// URL, then kept by the page in a cookie); others get 403 and nothing is
// done.  It never opens a file by a name it was sent.
#ifndef MCU_SIM_PANEL_HTTP_PANEL_H
#define MCU_SIM_PANEL_HTTP_PANEL_H

#include <memory>
#include <string>

#include "server.h"

namespace mcu_sim {

// Starts the panel on "[ADDRESS:]PORT" and logs its URL with the token.  Null, with
// the reason, when the address is bad, the port cannot be bound, or the
// program was built without the HTTP library.
std::unique_ptr<LoopGuest> start_panel(Server &server, const std::string &address, std::string *error);

}  // namespace mcu_sim

#endif  // MCU_SIM_PANEL_HTTP_PANEL_H
