// server_internal.h - what the server's sources share: an application's
// connection as the server keeps it, the clock and the queue limits.
#ifndef MCU_SIM_SERVER_INTERNAL_H
#define MCU_SIM_SERVER_INTERNAL_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "server.h"

namespace mcu_sim {

inline int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How much may wait in one client's queue before the server stops feeding a
// fast replay into it, and before it gives up on a client that reads
// nothing at all.
constexpr std::size_t kReplayQueueBytes = 64 * 1024;
constexpr std::size_t kMaxQueueBytes = 16 * 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

struct Server::Client {
    int fd = -1;
    int number = 0;
    int64_t connected_ms = 0;
    mcu_protocol::FrameScanner scanner;
    mcu_protocol::Bytes out;
    std::size_t out_offset = 0;
    bool closing = false;
    std::string close_reason;
    bool version_pending = false;
    uint32_t version_type = 0;
    int64_t version_asked_ms = 0;
    std::string version_status = "not asked";
    std::unique_ptr<ReplaySession> replay;

    std::size_t queued() const { return out.size() - out_offset; }
};

}  // namespace mcu_sim

#endif  // MCU_SIM_SERVER_INTERNAL_H
