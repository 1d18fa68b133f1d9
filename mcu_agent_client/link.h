// link.h - what the API source asks of the link besides the transport
// functions of client.h: the connection handler and background
// reconnection.
#ifndef MCU_AGENT_LINK_H
#define MCU_AGENT_LINK_H

#include <cstdint>

#include "client.h"

namespace mcu_agent {

using ConnectionHandler = void (*)(int connected, void *user);

// Called on the packet-handle thread with 1 before the first frame of a
// connection and 0 after its last; the calls alternate.
void set_connection_handler(ConnectionHandler handler, void *user);
// 0: reconnection is the application's; above 0: whenever no connection
// stands once an entry point ran, the link connects in the background at
// this interval (up to 8x on failures).
void set_reconnect_interval(int milliseconds);
// The doubling of the interval stops here; 0: eight times the interval.
void set_reconnect_max_interval(int milliseconds);
// The uid and group trusted to be the agent besides root and this
// process's own uid; -1 names none.
void set_trusted_agent(long uid, long gid);

// Sends a request function's frame (command id `command`); when the
// calling thread makes the request with its answer awaited, a call record
// is taken first.  What socket_send returns.
int send_request_frame(uint8_t command, char *frame, int size);

// A listener or an awaited call takes frames of this id: a frame no row
// of the table handles is not "unregistered" then.
bool frame_awaited(uint8_t id);

}  // namespace mcu_agent

#endif  // MCU_AGENT_LINK_H
