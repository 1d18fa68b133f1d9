// delivery.h - collects what the library hands to handlers, so that tests
// can wait for deliveries and inspect them on the test thread.
#ifndef MCU_AGENT_TEST_DELIVERY_H
#define MCU_AGENT_TEST_DELIVERY_H

#include <string>
#include <vector>

#include "mcu_agent_api.h"

namespace mcu_agent_test {

// Copies of every PACKET_MSG delivered to `record_packet`.
std::vector<PACKET_MSG> delivered();
void clear_delivered();
// Waits until at least n packets were delivered; false on time-out.
bool wait_delivered(std::size_t n, int timeout_ms = 5000);
// A handler that records the packet it is given.
void record_packet(PACKET_MSG *packet);
// A registration table with record_packet for every id 0..254.
MCU_MSG_HANDLE_REGISTER *record_every_id();

// Decodes one frame directly, as the packet-handle thread would: builds
// the zero-filled message area (id, L, payload) and calls
// McuAgent_receive_packet_handle.  Returns its result; the PACKET_MSG
// handed to the handler is left in `out` when a handler ran.
int dispatch_frame(uint8_t id, const std::vector<uint8_t> &payload, PACKET_MSG *out = nullptr);

// Captures the process's standard output around a callable.
template <typename F>
std::string capture_stdout(F &&f);

}  // namespace mcu_agent_test

#include "delivery_impl.h"

#endif
