// A tiny C++ application built against an installed copy of the library
// through the C++ interface: installed headers (the generated record map
// included), installed library.
#include <mcu_agent_client/mcu_agent.hpp>

#include <cstdio>
#include <string_view>
#include <type_traits>

int main() {
    static_assert(std::is_same_v<mcu_agent::record_t<MCU_MSG_RET_HVAC_INFO>, HVAC_INFO>, "HVAC_INFO");
    static_assert(std::is_same_v<mcu_agent::record_t<MCU_MSG_RET_HARD_KEY>, HARD_KEY_ID>, "HARD_KEY_ID");
    PACKET_MSG packet{};
    packet.mcu_msg_id = MCU_MSG_RET_RTC_CLOCK_INFO;
    packet.data[0] = RTC_MODE_24HOURS;
    const RTC_MSG rtc = mcu_agent::read_record<MCU_MSG_RET_RTC_CLOCK_INFO>(packet);
    if (rtc.rtc_mode != RTC_MODE_24HOURS || std::string_view(mcu_agent::to_string(mcu_agent::call_status::timed_out)) != "timed out") {
        std::fputs("consumer: unexpected record\n", stderr);
        return 1;
    }
    std::puts("consumer ok");
    return 0;
}
