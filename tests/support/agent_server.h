// agent_server.h - a scripted agent server for tests: listens on the
// library's socket path (one per test process), accepts the library's connection, writes inbound
// frames (whole, in pieces, or garbage) and reads the library's outbound
// frames.
#ifndef MCU_AGENT_TEST_AGENT_SERVER_H
#define MCU_AGENT_TEST_AGENT_SERVER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mcu_agent_test {

using Bytes = std::vector<uint8_t>;

// Each test process serves its own socket path and points the library at
// it through MCU_AGENT_SOCKET, so socket tests run in parallel.
const char *agent_path_of_this_process();
inline const char *const kAgentPath = agent_path_of_this_process();

// An inbound frame as the agent sends it: AB BA 00 00 id L payload trailer.
Bytes inbound_frame(uint8_t id, const Bytes &payload);
// `count` inbound frames of one id, each with its number (mod 256) as
// its one payload byte, back to back.
Bytes numbered_frames(int count, uint8_t id);
// An outbound frame as the library must send it, checksum included.
Bytes outbound_frame(uint8_t id, const Bytes &payload);

class AgentServer {
public:
    // Removes a stale socket file, binds and listens.
    explicit AgentServer(const std::string &path = kAgentPath);
    ~AgentServer();
    AgentServer(const AgentServer &) = delete;
    AgentServer &operator=(const AgentServer &) = delete;

    // Waits for the library to connect; false on time-out.
    bool accept_client(int timeout_ms = 5000);
    int client_fd() const { return client_; }

    // Writes all bytes to the connected client.
    bool send(const Bytes &bytes);
    // Writes all bytes with plain blocking writes, as agents in the field
    // do, but gives up after `silence_ms` without progress, so that a stall
    // fails a test instead of hanging it.  The bytes written.
    std::size_t send_unless_stalled(const Bytes &bytes, int silence_ms = 10000);
    bool send_frame(uint8_t id, const Bytes &payload) { return send(inbound_frame(id, payload)); }

    // Reads one outbound frame (BA AB 00 00 id L payload checksum); empty
    // when none arrives in time or the bytes are not a frame.
    std::optional<Bytes> read_frame(int timeout_ms = 5000);
    // Reads exactly n bytes; empty on time-out.
    std::optional<Bytes> read_exact(std::size_t n, int timeout_ms = 5000);
    // True when no byte arrives within timeout_ms.
    bool nothing_arrives(int timeout_ms = 200);

    // Ends the connection in an orderly way, or with a reset.
    void close_client();
    void reset_client();
    // Stops listening and removes the socket file.
    void stop();

private:
    std::string path_;
    int listen_ = -1;
    int client_ = -1;
    Bytes pending_;  // bytes read but not yet consumed
};

}  // namespace mcu_agent_test

#endif
