// cli.h - what every tool's command line shares: the agent socket's
// default, numbers that refuse text, and --version.
#ifndef MCU_TOOLS_CLI_H
#define MCU_TOOLS_CLI_H

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace mcu_cli {

// The agent socket the library connects to: MCU_AGENT_SOCKET when set and
// not empty, else /tmp/mcu_agent.
inline std::string default_socket_path() {
    const char *env = std::getenv("MCU_AGENT_SOCKET");
    return env && *env ? env : "/tmp/mcu_agent";
}

// A whole decimal number from `low` to `high`; false for anything else
// ("abc", "12x", "").
inline bool parse_int(const std::string &text, long low, long high, long *out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || v < low || v > high) return false;
    *out = v;
    return true;
}

// A finite number greater than zero.
inline bool parse_positive(const std::string &text, double *out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno || *end || !std::isfinite(v) || v <= 0) return false;
    *out = v;
    return true;
}

inline void print_version(const char *tool) { std::printf("%s %s\n", tool, MCU_AGENT_VERSION); }

}  // namespace mcu_cli

#endif  // MCU_TOOLS_CLI_H
