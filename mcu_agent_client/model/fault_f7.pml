/* F7 put back: the receive thread prints "disconnected" (the log handler
 * may call the entry point) before it retires the connection, and
 * peer_gone() ignores a half-close: the entry point reports a connection
 * whose end was already read.  Spin must report the assertion in enter. */
#define FAULT_F7
#include "link.pml"
