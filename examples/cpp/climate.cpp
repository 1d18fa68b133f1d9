// climate.cpp - the climate module.
#include "climate.hpp"

#include <chrono>
#include <cstdio>
#include <initializer_list>

namespace head_unit {

Climate::Climate(mcu_agent::client &agent) : agent_(agent) {
    // Each connection, the first and an agent that came back, starts with
    // asking: the ignition may have changed while none stood.
    connection_ = agent_.on_connection([this](bool connected) {
        if (connected) ask_ignition();
    });
    hvac_ = agent_.on<MCU_MSG_RET_HVAC_INFO>([this](const HVAC_INFO &hvac) {
        blower_ = hvac.blower_level;
        left_temp_ = hvac.left_temp;
        std::printf("climate: blower %d, left %d\n", blower_, left_temp_);
    });
    // The ignition is reported on its own too, not only when asked.
    ignition_ = agent_.on<MCU_MSG_RET_IGN_ON_OFF_STATUS>([this](uint8_t on) {
        ignition_known_ = true;
        ignition_on_ = on != 0;
        std::printf("climate: ignition %s\n", ignition_on_ ? "on" : "off");
    });
}

void Climate::ask_ignition() {
    // The answer also reaches the listener above; the completion only says
    // when the MCU did not answer.
    asking_ = agent_.call_async<MCU_MSG_RET_IGN_ON_OFF_STATUS>(
        McuAgent_get_ign_on_off_status, std::chrono::milliseconds(1000),
        [](const mcu_agent::call_result<uint8_t> &answer) {
            if (!answer) std::printf("climate: no ignition answer: %s\n", answer.status_text());
        });
}

bool Climate::set_blower(int level) {
    if (!ignition_on_ || level < 0 || level > 15) return false;
    HVAC_STATUS keys;
    // Every key released (HVAC_KEY_STATUS_DOWN is 0, so zero would press them all).
    for (HVAC_KEY_STATUS_ID *k : {&keys.maxAC, &keys.AC, &keys.recirc, &keys.fresh, &keys.defrost, &keys.mode,
                                  &keys.front_panel_left_temp_minus, &keys.front_panel_letf_tmep_plus,
                                  &keys.front_panel_blower_minus, &keys.front_panel_blower_plus,
                                  &keys.touch_panel_blower_minus, &keys.touch_panel_blower_plus, &keys.dual,
                                  &keys.on_off, &keys.redefrost, &keys.front_panel_right_temp_minus,
                                  &keys.front_panel_right_tmep_plus, &keys.touch_panel_left_temp_minus,
                                  &keys.touch_panel_letf_tmep_plus, &keys.touch_panel_right_temp_minus,
                                  &keys.touch_panel_right_tmep_plus})
        *k = HVAC_KEY_STATUS_UP;
    keys.target_blower_level = static_cast<uint8_t>(level);
    keys.touch_panel_target_letf_tmep = static_cast<uint8_t>(left_temp_ < 0 ? 0 : left_temp_);
    keys.touch_panel_target_right_tmep = keys.touch_panel_target_letf_tmep;
    return McuAgent_send_hvac_status(&keys) > 0;
}

}  // namespace head_unit
