// listeners.cpp - placeholder bodies of the application-side API while the
// link gains them.
#include <errno.h>

#include "mcu_agent_api.h"

extern "C" {

int McuAgent_set_dispatch_mode(int) { errno = ENOSYS; return -1; }
int McuAgent_get_fd(void) { errno = ENOSYS; return -1; }
int McuAgent_dispatch(int) { errno = ENOSYS; return -1; }
MCU_AGENT_LISTENER McuAgent_add_listener(int, MCU_MSG_LISTENER, void *) { errno = ENOSYS; return 0; }
MCU_AGENT_LISTENER McuAgent_add_connection_listener(MCU_CONNECTION_LISTENER, void *) { errno = ENOSYS; return 0; }
int McuAgent_remove_listener(MCU_AGENT_LISTENER) { errno = ENOSYS; return -1; }
const char *McuAgent_call_result_text(MCU_AGENT_CALL_RESULT) { return "?"; }
MCU_AGENT_CALL_RESULT McuAgent_call(MCU_AGENT_REQUEST, int, PACKET_MSG *) { return MCU_AGENT_CALL_NOT_SENT; }
MCU_AGENT_CALL_RESULT McuAgent_call_with(MCU_AGENT_REQUEST_WITH, void *, int, PACKET_MSG *) { return MCU_AGENT_CALL_NOT_SENT; }
MCU_AGENT_CALL_RESULT McuAgent_call_async(MCU_AGENT_REQUEST, int, MCU_AGENT_COMPLETION, void *, MCU_AGENT_CALL *) { return MCU_AGENT_CALL_NOT_SENT; }
MCU_AGENT_CALL_RESULT McuAgent_call_async_with(MCU_AGENT_REQUEST_WITH, void *, int, MCU_AGENT_COMPLETION, void *, MCU_AGENT_CALL *) { return MCU_AGENT_CALL_NOT_SENT; }
int McuAgent_call_cancel(MCU_AGENT_CALL) { errno = ENOENT; return -1; }
int McuAgent_is_connected(void) { return 0; }
int McuAgent_shutdown(void) { return 0; }

}
