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
    "usage: mcu-agent-listen [--socket PATH] [--id ID[,ID...]] [-t a|d|z] [--capture FILE] [--no-version-answer]\n"
    "Connects to the agent as an application through the library and prints\n"
    "every message it gets, one a line, as it arrives, until SIGINT or SIGTERM.\n"
    "An agent that is not up yet is waited for; one that goes away is waited\n"
    "for again.\n"
    "  --capture FILE    the library's trace of the connection, both directions,\n"
    "                    in the capture format (mcu-agent-dump, --pcapng and the\n"
    "                    virtual MCU's --replay read it)\n"
    "  --no-version-answer  leave the agent's version requests unanswered\n";

// The library's reconnect interval: it tries at this interval, doubling
// it up to 8x while attempts fail.
constexpr int kReconnectMs = 500;

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
        if ((a == "--socket" || a == "--capture") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--socket") session.socket = v;
            else ::setenv("MCU_AGENT_TRACE", v.c_str(), 1);  // the library's own trace
        } else if (a == "--no-version-answer") {
            session.answer_versions = false;
        } else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-listen");
            return 0;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(session.view.usage().c_str(), stdout);
            return 0;
        } else if (std::string error; session.view.take_option(argc, argv, &i, &error) || !error.empty()) {
            if (!error.empty()) {
                std::fprintf(stderr, "mcu-agent-listen: %s\n", error.c_str());
                return 2;
            }
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
    // Set before the first attempt: a failed one leaves the library
    // connecting in the background, so an agent started later is found.
    McuAgent_set_reconnect_interval(kReconnectMs);
    if (!mcu_shell::open_session(session))
        std::fprintf(stderr, "mcu-agent-listen: waiting for the agent at %s (trying every %d ms)\n",
                     mcu_cli::default_socket_path().c_str(), kReconnectMs);
    while (!g_stop) sigsuspend(&old);
    std::fflush(stdout);
    return 0;
}
