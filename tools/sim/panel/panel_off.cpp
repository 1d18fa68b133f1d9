// panel_off.cpp - start_panel for a build without the HTTP library (the
// 32-bit ARM cross build has no target copy of it).
#include "http_panel.h"

namespace mcu_sim {

std::unique_ptr<LoopGuest> start_panel(Server &, const std::string &, std::string *error) {
    *error = "this mcu-agent-sim was built without the web panel (libmicrohttpd was missing)";
    return nullptr;
}

}  // namespace mcu_sim
