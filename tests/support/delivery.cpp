#include "delivery.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace mcu_agent_test {

namespace {

std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<PACKET_MSG> g_packets;
PACKET_MSG *g_capture = nullptr;

}  // namespace

std::vector<PACKET_MSG> delivered() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_packets;
}

void clear_delivered() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_packets.clear();
}

bool wait_delivered(std::size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [n] { return g_packets.size() >= n; });
}

void record_packet(PACKET_MSG *packet) {
    if (g_capture) std::memcpy(g_capture, packet, sizeof *packet);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_packets.push_back(*packet);
    g_cond.notify_all();
}

MCU_MSG_HANDLE_REGISTER *record_every_id() {
    static std::array<MCU_MSG_HANDLE_REGISTER, 256> table = [] {
        std::array<MCU_MSG_HANDLE_REGISTER, 256> t{};
        for (int id = 0; id < 255; ++id) t[id] = {static_cast<MCU_MSG_ID>(id), record_packet};
        t[255] = {MCU_MSG_MAX_ID, nullptr};
        return t;
    }();
    return table.data();
}

int dispatch_frame(uint8_t id, const std::vector<uint8_t> &payload, PACKET_MSG *out) {
    std::array<uint8_t, 260> area{};
    area[0] = id;
    area[1] = static_cast<uint8_t>(payload.size());
    if (!payload.empty()) std::memcpy(area.data() + 2, payload.data(), payload.size() > 255 ? 255 : payload.size());
    g_capture = out;
    if (out) std::memset(out, 0xEE, sizeof *out);  // a handler that did not run leaves this pattern
    int rc = McuAgent_receive_packet_handle(3, area.data(), static_cast<int>(payload.size()) + 2);
    g_capture = nullptr;
    return rc;
}

}  // namespace mcu_agent_test
