// main.cpp - mcu-agent-dump: agent socket frames in words.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "dump.h"

namespace {

const char kUsage[] =
    "usage: mcu-agent-dump [-v|--verbose] [FILE...]\n"
    "Prints each frame of a capture file (or of hex bytes of raw frames in either\n"
    "direction) in words, one frame a line: direction, id name, every field by name.\n"
    "Reads standard input when no FILE (or -) is given.  --verbose adds one line per\n"
    "field with its payload bytes and its place in PACKET_MSG.data.\n";

}  // namespace

int main(int argc, char **argv) {
    mcu_dump::DumpOptions options;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "mcu-agent-dump: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) files.push_back("-");
    int bad = 0;
    for (const std::string &f : files) {
        if (f == "-") {
            bad += mcu_dump::dump_stream(std::cin, std::cout, options);
            continue;
        }
        std::ifstream in(f);
        if (!in) {
            std::fprintf(stderr, "mcu-agent-dump: cannot read %s: %s\n", f.c_str(), std::strerror(errno));
            return 1;
        }
        bad += mcu_dump::dump_stream(in, std::cout, options);
    }
    return bad ? 1 : 0;
}
