// main.cpp - mcu-agent-tap: a capture on a real head unit.  It sits
// between the applications and the real agent server: it listens where the
// applications connect, opens a connection to the agent for each of them,
// passes every byte on unchanged in both directions and writes each frame
// to a capture file (and in words to standard output), the same capture
// the virtual MCU writes.
//
// Without --agent it takes the agent's own place: the agent's socket file
// is renamed to PATH.tapped (the agent keeps listening through it), the tap
// listens on PATH, and when the tap ends, however it ends, its guardian
// process renames the file back (place.h).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture_file.h"
#include "cli.h"
#include "frame_view.h"
#include "place.h"
#include "relay.h"

namespace {

const char kUsage[] =
    "usage: mcu-agent-tap [options]\n"
    "Passes the traffic between applications and the agent server through\n"
    "unchanged and writes both directions of every connection to a capture.\n"
    "\n"
    "  --listen PATH    where applications connect (default $MCU_AGENT_SOCKET,\n"
    "                   else /tmp/mcu_agent)\n"
    "  --agent PATH     the agent server's socket; without it the agent's socket\n"
    "                   at the listen path is moved to PATH.tapped while the tap\n"
    "                   runs, and moved back when it ends, however it ends\n"
    "  --capture FILE   the capture (default mcu-agent-tap.log)\n"
    "  --capture-size MB\n"
    "                   start a new capture file when the current one would grow\n"
    "                   past MB million bytes: FILE.1, FILE.2, ...\n"
    "  --capture-files N\n"
    "                   with --capture-size: keep at most N files, then go on in\n"
    "                   FILE again, overwriting the oldest\n"
    "  --quiet          do not print the frames in words\n"
    "  --version        print the version and exit\n"
    "The agent must be root, this user, or named by MCU_AGENT_TRUSTED_UID or\n"
    "MCU_AGENT_TRUSTED_GID.  When the agent goes, the tap steps aside and takes\n"
    "its place again when it is back (or stops after 60 s).\n"
    "Stops on SIGINT, SIGTERM or SIGHUP.  Exit status 3: another tap (or\n"
    "another program) already listens at the listen path.  These choose the\n"
    "frames printed in words and give them times; the capture keeps every frame:\n";

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

void complain(const std::string &line) { std::fprintf(stderr, "mcu-agent-tap: %s\n", line.c_str()); }

}  // namespace

int main(int argc, char **argv) {
    std::string listen_path = mcu_cli::default_socket_path(), agent_path, capture_file = "mcu-agent-tap.log";
    bool quiet = false;
    mcu_cli::CaptureLimits capture_limits;
    mcu_cli::FrameView view(false, mcu_cli::TimeStamps::None);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string error;
        if (view.take_option(argc, argv, &i, &error)) continue;
        if (!error.empty()) {
            complain(error);
            return 2;
        }
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mcu-agent-tap: %s needs a value (mcu-agent-tap --help lists the options)\n",
                             a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--listen") listen_path = value();
        else if (a == "--agent") agent_path = value();
        else if (a == "--capture") capture_file = value();
        else if (mcu_cli::is_capture_limit_option(a)) {
            if (!mcu_cli::take_capture_limit(a, value(), &capture_limits, &error)) {
                complain(error);
                return 2;
            }
        }
        else if (a == "--quiet") quiet = true;
        else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-tap");
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(view.usage().c_str(), stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mcu-agent-tap: unknown option %s (mcu-agent-tap --help lists the options)\n",
                         a.c_str());
            return 2;
        }
    }
    if (const std::string why = mcu_cli::check_capture_limits(capture_limits); !why.empty()) {
        complain(why);
        return 2;
    }
    mcu_tap::Placement place;
    place.listen_path = listen_path;
    const bool move = agent_path.empty();
    if (move) {
        agent_path = listen_path + ".tapped";
        if (const int rc = mcu_tap::check_agent_place(listen_path, agent_path, complain)) return rc;
    } else if (agent_path == listen_path) {
        complain("--agent and --listen name the same socket");
        return 2;
    } else if (const int rc = mcu_tap::check_listen_path(listen_path, complain)) {
        return rc;
    } else if (const std::string owner = mcu_tools::untrusted_owner(agent_path);
               mcu_tap::file_id(agent_path).present() && !owner.empty()) {
        // Nothing is moved here: the owner is looked at now, the agent's
        // credentials at every connection the tap makes to it.
        complain("not tapping " + agent_path + ": " + owner);
        return 1;
    }
    place.agent_path = agent_path;

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The tap's socket is bound beside the listen path first, so that it
    // can take the path in one step.
    place.staging_path = mcu_tap::staging_name(listen_path);
    mcu_tap::Guardian guardian;
    if (!guardian.start(place))
        complain(std::string("no guardian process (") + std::strerror(errno) + "): if the tap is killed, " +
                 (move ? "move " + agent_path + " back to " + listen_path + " by hand" : "remove " + listen_path));

    mcu_cli::CaptureFile capture;
    std::string capture_error;
    const auto say = [](const std::string &line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    if (!capture.open(capture_file, "# mcu-agent-tap capture of " + listen_path + " -> " + agent_path,
                      capture_limits, say, &capture_error)) {
        complain(capture_error);
        return 1;
    }

    std::string error;
    const int listen_fd = mcu_tap::bind_tap_socket(&place, move ? listen_path : agent_path, &error);
    if (listen_fd < 0) {
        complain(error);
        return 1;
    }
    if (move) place.agent_socket = mcu_tap::file_id(listen_path);
    guardian.arm(place);

    int status = 0;
    if (mcu_tap::take_place(place, complain)) {
        mcu_tap::Keeper keeper(&place, &guardian, listen_fd, move, [](const std::string &line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
        mcu_tap::Relay relay(keeper, listen_path, agent_path, capture, quiet, std::move(view));
        relay.run(g_stop);
        // The agent's socket goes back before the tapped connections close
        // (with the relay), so that an application reconnecting at once
        // finds the agent.
        if (!guardian.finish()) mcu_tap::give_back(place, complain);
        return g_stop ? 0 : 1;
    }
    ::close(listen_fd);
    status = 1;
    // The agent's socket goes back before the tapped connections close, so
    // that an application reconnecting at once finds the agent.
    if (!guardian.finish()) mcu_tap::give_back(place, complain);
    return status;
}
