// listen.cpp - mcu-agent-listen: connects to the agent as an application
// does, through the library, and prints every message as it arrives, one a
// line in the dump's words, until interrupted.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "link_session.h"

namespace {

const char kUsage[] =
    "usage: mcu-agent-listen [--socket PATH] [--id ID ...] [--capture FILE] [--no-version-answer]\n"
    "Connects to the agent as an application through the library and prints\n"
    "every message it gets, one a line, as it arrives, until SIGINT or SIGTERM.\n"
    "  --id ID           only this message (a name, with or without MCU_MSG_, or a\n"
    "                    number such as 0x01); may be given several times\n"
    "  --capture FILE    the library's trace of the connection, both directions,\n"
    "                    in the capture format (mcu-agent-dump reads it)\n"
    "  --no-version-answer  leave the agent's version requests unanswered\n"
    "Reconnects in the background when the agent goes away.\n";

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

void on_connection(int connected, void *) {
    std::fprintf(stderr, "mcu-agent-listen: %s\n", connected ? "connected" : "agent gone, reconnecting");
}

}  // namespace

int main(int argc, char **argv) {
    mcu_shell::SessionOptions session;
    session.program = "mcu-agent-listen";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--socket" || a == "--id" || a == "--capture") && i + 1 < argc) {
            const std::string v = argv[++i];
            uint8_t id = 0;
            if (a == "--socket") {
                session.socket = v;
            } else if (a == "--capture") {
                ::setenv("MCU_AGENT_TRACE", v.c_str(), 1);  // the library's own trace
            } else if (mcu_shell::parse_message_id(v, &id)) {
                session.ids.push_back(id);
            } else {
                std::fprintf(stderr, "mcu-agent-listen: no message %s (an MCU_MSG_ name or an id such as 0x01)\n",
                             v.c_str());
                return 2;
            }
        } else if (a == "--no-version-answer") {
            session.answer_versions = false;
        } else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-listen");
            return 0;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mcu-agent-listen: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // Blocked here and in the library's threads, which inherit the mask:
    // the stop signal reaches this thread, inside sigsuspend, and cannot
    // slip in between the check and the wait.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, &old);
    McuAgent_set_connection_handler(on_connection, nullptr);
    McuAgent_set_reconnect_interval(500);
    if (!mcu_shell::open_session(session)) return 1;
    while (!g_stop) sigsuspend(&old);
    std::fflush(stdout);
    return 0;
}
