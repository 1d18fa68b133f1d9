/* A tiny application built against an installed copy of the library, the
 * way a head-unit application is: installed headers, installed library. */
#include <stdio.h>
#include <string.h>

#include <mcu_agent_client/client.h>
#include <mcu_agent_client/mcu_agent_api.h>

int main(void) {
    MCU_AGENT_API *api = McuAgent_get_api_handle();
    PACKET_MSG packet;
    RTC_MSG rtc;

    if (api == NULL || api->hmi_startup == NULL || api->set_gps_clock != NULL) {
        fputs("consumer: unexpected API table\n", stderr);
        return 1;
    }
    memset(&packet, 0, sizeof packet);
    packet.data[0] = RTC_MODE_24HOURS;
    MCU_PACKET_GET_RECORD(&packet, rtc);
    if (rtc.rtc_mode != RTC_MODE_24HOURS || RECEIVE_BUFFER_MSG_SIZE != 2048) {
        fputs("consumer: unexpected record\n", stderr);
        return 1;
    }
    puts("consumer ok");
    return 0;
}
