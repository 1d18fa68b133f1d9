/* The public header on its own: it must bring everything it uses, tolerate
 * being included twice, and its layout assertions and copy macro must work
 * in the language mode this unit is compiled in. */
#include "mcu_agent_api.h"
#include "mcu_agent_api.h"

int mcu_agent_header_check_copy(const PACKET_MSG *packet);
int mcu_agent_header_check_copy(const PACKET_MSG *packet) {
    RTC_MSG rtc;
    MCU_PACKET_GET_RECORD(packet, rtc);
    return rtc.rtc_mode;
}
