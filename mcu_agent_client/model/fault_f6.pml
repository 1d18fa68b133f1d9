/* F6 put back: no drop_if_empty(): a retired connection that carried
 * nothing keeps its record while an older connection is being delivered,
 * so an entry point from a handler finds every record taken although the
 * agent is up.  Spin must report the assertion at "none free" in enter. */
#define FAULT_F6
#include "link.pml"
