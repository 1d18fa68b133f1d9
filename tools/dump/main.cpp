// main.cpp - mcu-agent-dump: agent socket frames in words.
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

const char kUsage[] =
    "usage: mcu-agent-dump [-v|--verbose] [--id ID,...] [-t a|d|z] [--direction app|agent] [FILE...]\n"
    "       mcu-agent-dump --pcapng OUT.pcapng CAPTURE...\n"
    "Prints each frame of a capture file (or of hex bytes of raw frames in either\n"
    "direction) in words, one frame a line: direction, id name, every field by name.\n"
    "Reads standard input when no FILE (or -) is given.  --verbose adds one line per\n"
    "field with its payload bytes and its place in PACKET_MSG.data, and the frame's\n"
    "bytes as they were on the wire.  Lines it cannot read are reported on standard\n"
    "error and make the exit status 1; the other lines and files are still dumped.\n"
    "--pcapng writes the captures' lines to OUT.pcapng instead, one packet each, for\n"
    "Wireshark with the mcu_agent dissector; a line it cannot read stops it (status 1).\n"
    "\n";

}  // namespace

int main(int argc, char **argv) {
    mcu_dump::DumpOptions options;
    std::vector<std::string> files;
    std::string pcapng;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else if (a == "--pcapng" && i + 1 < argc) {
            pcapng = argv[++i];
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
    if (!pcapng.empty()) {
        std::string error;
        if (mcu_pcapng::captures_to_pcapng(files, pcapng, &error)) return 0;
        std::fprintf(stderr, "mcu-agent-dump: %s\n", error.c_str());
        return 1;
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
