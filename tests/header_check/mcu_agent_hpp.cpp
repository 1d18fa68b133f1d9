// The C++ interface compiled on its own: every template instantiated the
// way applications use it.  With MCU_AGENT_WRONG=<n> the unit makes one
// mistake that must not compile (cpp_header_check.cmake checks the
// compiler's message).
#include "mcu_agent.hpp"

#include <string>

#ifndef MCU_AGENT_WRONG
#define MCU_AGENT_WRONG 0
#endif

int use_every_form(mcu_agent::client &agent);

int use_every_form(mcu_agent::client &agent) {
    using namespace std::chrono_literals;
    int seen = 0;
    const std::string label = "hvac";  // a capture that is not trivially copyable
    auto hvac = agent.on<MCU_MSG_RET_HVAC_INFO>(
        [&seen, label](const HVAC_INFO &info) { seen += info.blower_level + static_cast<int>(label.size()); });
    auto key = agent.on<MCU_MSG_RET_HARD_KEY>([&seen](HARD_KEY_ID k) { seen += k == HARD_KEY_POWER; });
    auto duty = agent.on<MCU_MSG_RET_BUTTON_LIGHT_PWM>([&seen](uint8_t d) { seen += d; });
    auto raw = agent.on<MCU_MSG_RET_AUDIO_SETTING_INFO>(
        [&seen](const mcu_agent::raw_payload &p) { seen += static_cast<int>(p.size); });
    auto any = agent.on_any([&seen](const PACKET_MSG &m) { seen += m.size; });
    auto link = agent.on_connection([&seen](bool up) { seen += up; });
    mcu_agent::subscription moved = std::move(hvac);
    moved.reset();

    auto power = agent.call<MCU_MSG_RET_CUR_AUDIO_POWER_STATUS>(McuAgent_get_audio_power, 100ms);
    auto presets = agent.call<MCU_MSG_RET_RADIO_PRESET_INFO>([] { return McuAgent_get_radio_preset_info(RADIO_BAND_FM1); });
    mcu_agent::pending_call clock = agent.call_async<MCU_MSG_RET_RTC_CLOCK_INFO>(
        McuAgent_get_rct_clock, 1s, [&seen](const mcu_agent::call_result<RTC_MSG> &r) { seen += r.ok(); });
    clock.cancel();
    std::future<mcu_agent::call_result<LANGUAGE_ID>> language = agent.call_future<MCU_MSG_RET_TFT_LANGUAGE>(McuAgent_get_language);
    const mcu_agent::call_result<LANGUAGE_ID> lang = language.get();
    seen += power ? power->power_status : 0;
    seen += presets.value_or(RADIO_PRESET_INFO{}).preset_num;
    seen += lang.status() == mcu_agent::call_status::timed_out;

#if MCU_AGENT_WRONG == 1  // a record of another message
    auto wrong = agent.on<MCU_MSG_RET_HVAC_INFO>([](const RTC_MSG &) {});
#elif MCU_AGENT_WRONG == 2  // a record where the message carries one byte typed by its enumeration
    auto wrong = agent.on<MCU_MSG_RET_HARD_KEY>([](const HVAC_INFO &) {});
#elif MCU_AGENT_WRONG == 3  // awaiting a message that answers no request
    auto wrong = agent.call<MCU_MSG_RET_HVAC_INFO>(McuAgent_get_audio_power);
#elif MCU_AGENT_WRONG == 4  // a completion for another record
    auto wrong = agent.call_async<MCU_MSG_RET_RTC_CLOCK_INFO>(McuAgent_get_rct_clock, 1s,
                                                            [](const mcu_agent::call_result<CLOCK_MSG> &) {});
#elif MCU_AGENT_WRONG == 5  // an id without a row
    auto wrong = agent.on<MCU_MSG_MAX_ID>([](const PACKET_MSG &) {});
#elif MCU_AGENT_WRONG == 6  // a request that does not return the request function's int
    auto wrong = agent.call<MCU_MSG_RET_TFT_LANGUAGE>([] { return std::string(); });
#endif
#if MCU_AGENT_WRONG
    (void)wrong;
#endif
    return seen;
}

int main() {
    mcu_agent::client agent(mcu_agent::options{mcu_agent::dispatch_mode::application, {}, nullptr});
    mcu_agent::set_error_hook([](const char *line) { (void)line; });
    return agent.fd() >= 0 ? agent.dispatch() : use_every_form(agent);
}
