// main.cpp - mcu-agent-sim: the virtual MCU agent.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "http_panel.h"
#include "server.h"
#include "state.h"

namespace {

const char kUsage[] =
    "usage: mcu-agent-sim [options]\n"
    "Stands in for the agent server and the MCU behind it: listens on the agent\n"
    "socket, answers the application's requests from a virtual MCU state, logs\n"
    "every frame in words and takes console commands on standard input.\n"
    "\n"
    "  --socket PATH          listen on PATH (default /tmp/mcu_agent)\n"
    "  --state FILE           initial state, a JSON object (see --print-state)\n"
    "  --scenario FILE        lines of \"seconds command\", run from the first connection\n"
    "  --capture FILE         write both directions to FILE, one frame a line\n"
    "  --replay FILE          send FILE's agent frames to each application that\n"
    "                         connects, with their original timing, and answer nothing\n"
    "  --fast                 with --replay: as fast as the application reads\n"
    "  --no-console           do not read commands from standard input\n"
    "  --no-version-request   do not ask new applications for their version\n"
    "  --version-timeout MS   how long an application has to answer it (2000)\n"
    "  --http [ADDRESS:]PORT  serve the web panel there (address 127.0.0.1 unless\n"
    "                         given; port 0 picks a free one)\n"
    "  --print-state          print every state key with its value and exit\n"
    "Type 'help' at the console for its commands.\n";

bool read_file(const std::string &path, std::string *text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    mcu_sim::Options options;
    bool print_state = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mcu-agent-sim: %s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            *out = argv[++i];
        };
        std::string number;
        if (a == "--socket") value(&options.socket_path);
        else if (a == "--state") value(&options.state_file);
        else if (a == "--scenario") value(&options.scenario_file);
        else if (a == "--capture") value(&options.capture_file);
        else if (a == "--replay") value(&options.replay_file);
        else if (a == "--fast") options.replay_fast = true;
        else if (a == "--http") value(&options.http);
        else if (a == "--no-console") options.console = false;
        else if (a == "--no-version-request") options.version_request = false;
        else if (a == "--version-timeout") {
            value(&number);
            options.version_timeout_ms = std::atoi(number.c_str());
        } else if (a == "--print-state") print_state = true;
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mcu-agent-sim: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }

    mcu_sim::State state;
    if (!options.state_file.empty()) {
        std::string text, error;
        if (!read_file(options.state_file, &text)) {
            std::fprintf(stderr, "mcu-agent-sim: cannot read %s: %s\n", options.state_file.c_str(),
                         std::strerror(errno));
            return 1;
        }
        if (!state.load_json(text, &error)) {
            std::fprintf(stderr, "mcu-agent-sim: %s: %s\n", options.state_file.c_str(), error.c_str());
            return 1;
        }
    }
    if (print_state) {
        for (const mcu_sim::KeyInfo &k : mcu_sim::State::keys()) {
            std::string v;
            state.get(k.key, &v);
            std::printf("%-30s %-36s %s\n", k.key, v.c_str(), k.help);
        }
        return 0;
    }

    mcu_sim::Server server(options, state);
    if (!server.start()) return 1;
    std::unique_ptr<mcu_sim::LoopGuest> panel;
    if (!options.http.empty()) {
        std::string error;
        panel = mcu_sim::start_panel(server, options.http, &error);
        if (!panel) {
            std::fprintf(stderr, "mcu-agent-sim: --http %s: %s\n", options.http.c_str(), error.c_str());
            return 1;
        }
        server.set_guest(panel.get());
    }
    return server.run();
}
