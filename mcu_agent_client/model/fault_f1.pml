/* F1 put back: set_reconnect_interval() only signals the receive thread;
 * after an entry point failed with no interval set, that thread was never
 * started, so the application never connects although the agent listens.
 * Spin must report the end-state assertion of Checker. */
#define FAULT_F1
#include "link.pml"
