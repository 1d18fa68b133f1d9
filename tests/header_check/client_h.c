/* The transport header on its own: it must bring everything it uses and
 * tolerate being included twice. */
#include "client.h"
#include "client.h"

/* A unit without any definition is not ISO C. */
int mcu_agent_header_check_ring_size(void);
int mcu_agent_header_check_ring_size(void) { return RECEIVE_BUFFER_MSG_SIZE; }
