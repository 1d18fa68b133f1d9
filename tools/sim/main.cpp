// main.cpp - mcu-agent-sim: the virtual MCU agent.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli.h"
#include "http_panel.h"
#include "input_file.h"
#include "server.h"
#include "state.h"

namespace {

const char kUsage[] =
    "usage: mcu-agent-sim [options]\n"
    "Stands in for the agent server and the MCU behind it: listens on the agent\n"
    "socket, answers the application's requests from a virtual MCU state, logs\n"
    "every frame in words and takes console commands on standard input.\n"
    "\n"
    "  --socket PATH          listen on PATH (default $MCU_AGENT_SOCKET, else /tmp/mcu_agent)\n"
    "  --state FILE           initial state, a JSON object (see --print-state)\n"
    "  --scenario FILE        commands, waits and expectations, one a line, run from\n"
    "                         the first connection; checked before serving (exit 2)\n"
    "  --strict               exit 1 when a frame was flagged, an expectation failed\n"
    "                         or a version request went unanswered\n"
    "  --capture FILE         write both directions to FILE, one frame a line\n"
    "  --capture-size MB      with --capture: start a new file when the current one\n"
    "                         would grow past MB million bytes: FILE.1, FILE.2, ...\n"
    "  --capture-files N      with --capture-size: keep at most N files, then go on\n"
    "                         in FILE again, overwriting the oldest\n"
    "  --replay FILE          send FILE's agent frames to each application that\n"
    "                         connects, with their recorded timing, and answer nothing\n"
    "  --answer               with --replay: answer each application frame with the\n"
    "                         agent frames that followed the matching recorded one\n"
    "  --fast                 with --replay: as fast as the application reads\n"
    "  --speed FACTOR         with --replay: 2 plays twice as fast, 0.5 half as fast\n"
    "  --loop N               with --replay: play the capture N times (0: without end)\n"
    "  --connection N         with --replay: play the capture's connection #N\n"
    "                         (default: the first)\n"
    "  --ready-file PATH      write PATH (\"PID SOCKET\") once serving begins, remove it\n"
    "                         at the end: a script waits for it and for the process\n"
    "  --no-console           do not read commands from standard input\n"
    "  --no-version-request   do not ask new applications for their version\n"
    "  --version-timeout MS   how long an application has to answer it (2000)\n"
    "  --http [ADDRESS:]PORT  serve the web panel there (address 127.0.0.1 unless\n"
    "                         given; port 0 picks a free one) at the URL it prints,\n"
    "                         which holds the panel's access token\n"
    "  --print-state [--json] print every state key with its value and exit; with\n"
    "                         --json as a state file that --state reads back\n"
    "  --version              print the version and exit\n"
    "Type 'help' at the console for its commands.\n";

[[noreturn]] void usage_error(const std::string &why) {
    std::fprintf(stderr, "mcu-agent-sim: %s (mcu-agent-sim --help lists the options)\n", why.c_str());
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    mcu_sim::Options options;
    options.socket_path = mcu_cli::default_socket_path();
    bool print_state = false, json = false;
    bool replay_only = false;  // an option that needs --replay was given
    std::string replay_option;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(a + " needs a value");
            return argv[++i];
        };
        auto number = [&](long low, long high) {
            const std::string text = value();
            long n = 0;
            if (!mcu_cli::parse_int(text, low, high, &n))
                usage_error(a + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                            ", not \"" + text + "\"");
            return n;
        };
        auto needs_replay = [&] {
            replay_only = true;
            replay_option = a;
        };
        if (a == "--socket") options.socket_path = value();
        else if (a == "--state") options.state_file = value();
        else if (a == "--scenario") options.scenario_file = value();
        else if (a == "--capture") options.capture_file = value();
        else if (mcu_cli::is_capture_limit_option(a)) {
            std::string error;
            if (!mcu_cli::take_capture_limit(a, value(), &options.capture_limits, &error)) usage_error(error);
        }
        else if (a == "--replay") options.replay_file = value();
        else if (a == "--strict") options.strict = true;
        else if (a == "--http") options.http = value();
        else if (a == "--ready-file") options.ready_file = value();
        else if (a == "--answer") {
            options.replay.answer = true;
            needs_replay();
        } else if (a == "--fast") {
            options.replay.fast = true;
            needs_replay();
        } else if (a == "--speed") {
            const std::string text = value();
            if (!mcu_cli::parse_positive(text, &options.replay.speed))
                usage_error("--speed takes a factor greater than 0, not \"" + text + "\"");
            needs_replay();
        } else if (a == "--loop") {
            options.replay.loops = static_cast<int>(number(0, 1000000));
            needs_replay();
        } else if (a == "--connection") {
            options.replay.connection = static_cast<int>(number(1, 1000000000));
            needs_replay();
        } else if (a == "--no-console") options.console = false;
        else if (a == "--no-version-request") options.version_request = false;
        else if (a == "--version-timeout") options.version_timeout_ms = static_cast<int>(number(1, 3600000));
        else if (a == "--print-state") print_state = true;
        else if (a == "--json") json = true;
        else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-sim");
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            usage_error("unknown option " + a);
        }
    }
    if (replay_only && options.replay_file.empty()) usage_error(replay_option + " needs --replay FILE");
    if (json && !print_state) usage_error("--json goes with --print-state");
    if (const std::string why = mcu_cli::check_capture_limits(options.capture_limits); !why.empty())
        usage_error(why);
    if (options.capture_limits.file_bytes && options.capture_file.empty())
        usage_error("--capture-size needs --capture FILE");

    mcu_sim::State state;
    if (!options.state_file.empty()) {
        std::string text, error;
        if (!mcu_cli::read_input_file(options.state_file, mcu_sim::kMaxInputFileBytes, &text, &error)) {
            mcu_sim::report_startup_error(error);
            return 1;
        }
        if (!state.load_json(text, &error)) {
            mcu_sim::report_startup_error(options.state_file + ": " + error);
            return 2;
        }
    }
    if (print_state) {
        if (json) {
            std::fputs(state.to_json().c_str(), stdout);
            return 0;
        }
        for (const mcu_sim::KeyInfo &k : mcu_sim::State::keys()) {
            std::string v;
            state.get(k.key, &v);
            std::printf("%-30s %-36s %s\n", k.key, v.c_str(), mcu_sim::State::describe(k).c_str());
        }
        return 0;
    }

    mcu_sim::Server server(options, state);
    if (const int status = server.start()) return status;
    std::unique_ptr<mcu_sim::LoopGuest> panel;
    if (!options.http.empty()) {
        std::string error;
        panel = mcu_sim::start_panel(server, options.http, &error);
        if (!panel) {
            mcu_sim::report_startup_error("--http " + options.http + ": " + error);
            return 1;
        }
        server.set_guest(panel.get());
    }
    return server.run();
}
