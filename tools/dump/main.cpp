// main.cpp - mcu-agent-dump: agent socket frames in words.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "dump.h"
#include "pcapng.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

const char kUsage[] =
    "usage: mcu-agent-dump [-v|--verbose] [--id ID,...] [-t a|d|z] [--direction app|agent] [FILE...]\n"
    "       mcu-agent-dump --pcapng OUT.pcapng [--follow] CAPTURE...\n"
    "Prints each frame of a capture file (or of hex bytes of raw frames in either\n"
    "direction) in words, one frame a line: direction, id name, every field by name.\n"
    "Reads standard input when no FILE (or -) is given.  --verbose adds one line per\n"
    "field with its payload bytes and its place in PACKET_MSG.data, and the frame's\n"
    "bytes as they were on the wire.  Lines it cannot read are reported on standard\n"
    "error and make the exit status 1; the other lines and files are still dumped.\n"
    "--pcapng writes the captures' lines to OUT.pcapng instead (- for standard\n"
    "output), one packet each, for Wireshark with the mcu_agent dissector; lines it\n"
    "cannot read are reported with their numbers and skipped (status 1).  --follow\n"
    "keeps reading the last capture as it grows, until SIGINT or SIGTERM:\n"
    "  mcu-agent-dump --pcapng - --follow /tmp/tap.log | wireshark -k -i -\n"
    "\n";

}  // namespace

int main(int argc, char **argv) {
    mcu_dump::DumpOptions options;
    std::vector<std::string> files;
    std::string pcapng;
    bool follow = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else if (a == "--pcapng" && i + 1 < argc) {
            pcapng = argv[++i];
        } else if (a == "--follow") {
            follow = true;
        } else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-dump");
            return 0;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(options.view.usage().c_str(), stdout);
            return 0;
        } else if (std::string error; options.view.take_option(argc, argv, &i, &error) || !error.empty()) {
            if (!error.empty()) {
                std::fprintf(stderr, "mcu-agent-dump: %s\n", error.c_str());
                return 2;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "mcu-agent-dump: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) files.push_back("-");
    if (follow && pcapng.empty()) {
        std::fprintf(stderr, "mcu-agent-dump: --follow goes with --pcapng\n");
        return 2;
    }
    if (!pcapng.empty()) {
        struct sigaction sa {};
        sa.sa_handler = on_stop;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        ::signal(SIGPIPE, SIG_IGN);  // a reader that went away is a write error
        mcu_pcapng::ConvertOptions convert;
        convert.follow = follow;
        convert.stop = &g_stop;
        std::string error;
        const long bad = mcu_pcapng::captures_to_pcapng(files, pcapng, convert, &error);
        if (bad < 0) std::fprintf(stderr, "mcu-agent-dump: %s\n", error.c_str());
        return bad == 0 ? 0 : 1;
    }
    // Every file is read even when one before it could not be.
    int bad = 0;
    for (const std::string &f : files) {
        if (f == "-") {
            bad += mcu_dump::dump_stream(std::cin, std::cout, std::cerr, "(standard input)", options);
            continue;
        }
        std::ifstream in(f);
        if (!in) {
            std::cout.flush();
            std::fprintf(stderr, "mcu-agent-dump: cannot read %s: %s\n", f.c_str(), std::strerror(errno));
            ++bad;
            continue;
        }
        bad += mcu_dump::dump_stream(in, std::cout, std::cerr, f, options);
    }
    return bad ? 1 : 0;
}
