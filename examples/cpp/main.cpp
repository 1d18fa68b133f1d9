// main.cpp - the example head unit as a program: it runs for the seconds
// given (default 5) against the agent at $MCU_AGENT_SOCKET.
#include <cstdio>
#include <cstdlib>

#include "head_unit.hpp"

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    head_unit::HeadUnit unit;
    if (!unit.started()) {
        std::fprintf(stderr, "head unit: the library did not start\n");
        return 1;
    }
    unit.run_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    std::printf("head unit: radio %u, blower %d\n", static_cast<unsigned>(unit.radio().frequency()),
                unit.climate().blower());
    return 0;
}
