// link_session.cpp - the shell tools' connection, made by the library.
#include "link_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "capture.h"
#include "description.h"
#include "internal.h"

namespace mcu_shell {

namespace {

// Never destroyed: the library's threads may still deliver a message while
// the process exits.
std::mutex &g_print = *new std::mutex;
SessionOptions &g_options = *new SessionOptions;
// Every message id but the end row's, so that nothing the agent sends goes
// unseen; the library needs the table for the life of the process.
MCU_MSG_HANDLE_REGISTER g_handlers[MCU_MSG_MAX_ID + 1];

void on_message(PACKET_MSG *msg) {
    const uint8_t id = static_cast<uint8_t>(msg->mcu_msg_id);
    // Handlers run one at a time on the packet-handle thread: the view's
    // times are its alone.
    if (g_options.view.shows(mcu_protocol::Direction::Agent, id)) {
        const std::string stamp = g_options.view.stamp(mcu_protocol::wall_clock_us());
        print_line(stamp.empty() ? message_line(*msg) : stamp + " " + message_line(*msg));
    }
    if (id == MCU_MSG_GET_VERSION_INFO && g_options.answer_versions) {
        VERSION_INFO info{};
        std::memcpy(&info.type, msg->data, 1);  // the type asked for, in P0
        const std::string text = g_options.program + " " + MCU_AGENT_VERSION;
        info.size = static_cast<uint8_t>(std::min(text.size(), sizeof info.version_buffer));
        std::memcpy(info.version_buffer, text.data(), info.size);
        McuAgent_send_version_info(&info);
    }
}

// The library's errors and warnings; its info lines ("success") are for
// applications' logs, not for the person at the shell.
void on_log(int level, const char *line, void *) {
    if (level > 1) return;
    std::lock_guard<std::mutex> lock(g_print);
    std::fprintf(stderr, "%s: library: %s\n", g_options.program.c_str(), line);
}

}  // namespace

std::string message_line(const PACKET_MSG &msg) {
    char text[1024];
    McuAgent_format_msg(&msg, text, sizeof text);
    return std::string("agent > ") + text;
}

bool open_session(const SessionOptions &options) {
    g_options = options;
    if (!options.socket.empty()) ::setenv("MCU_AGENT_SOCKET", options.socket.c_str(), 1);
    for (int id = 0; id < MCU_MSG_MAX_ID; ++id) g_handlers[id] = {static_cast<MCU_MSG_ID>(id), on_message};
    g_handlers[MCU_MSG_MAX_ID] = {MCU_MSG_MAX_ID, nullptr};
    McuAgent_set_log_handler(on_log, nullptr);
    return McuAgent_client_init(g_handlers) != nullptr;
}

int send_frame(uint8_t id, const std::vector<uint8_t> &payload, const std::string &line) {
    // The line goes out before any answer can be printed, and only when the
    // frame was written.
    std::lock_guard<std::mutex> lock(g_print);
    const int sent = mcu_agent::packet_fill_send(id, payload.data(), static_cast<uint8_t>(payload.size()));
    if (sent >= 0) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return sent;
}

void print_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_print);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace mcu_shell
