// radio.cpp - the radio module.
#include "radio.hpp"

#include <chrono>
#include <cstdio>

namespace head_unit {

Radio::Radio(mcu_agent::client &agent) : agent_(agent) {
    notify_ = agent_.on<MCU_MSG_RET_RADIO_NOTIFY>([this](const RADIO_NOTIFY &n) {
        frequency_ = n.cur_freq;
        std::printf("radio: %u\n", static_cast<unsigned>(frequency_));
    });
    keys_ = agent_.on<MCU_MSG_RET_HARD_KEY>([](HARD_KEY_ID key) {
        if (key == HARD_KEY_SEEK_UP) McuAgent_set_radio_seek_up();
        if (key == HARD_KEY_SEEK_DOWN) McuAgent_set_radio_seek_down();
    });
    // Each connection starts with asking where the tuner is: an agent
    // that came back may have moved it meanwhile.
    connection_ = agent_.on_connection([this](bool connected) {
        if (connected) ask_tuner();
    });
}

void Radio::ask_tuner() {
    asking_ = agent_.call_async<MCU_MSG_RET_RADIO_NOTIFY>(
        McuAgent_get_radio_notify, std::chrono::milliseconds(1000),
        [](const mcu_agent::call_result<RADIO_NOTIFY> &answer) {
            if (!answer) std::printf("radio: no tuner answer: %s\n", answer.status_text());
        });
}

bool Radio::tune(uint16_t freq) { return McuAgent_set_radio_freq(freq) > 0; }

}  // namespace head_unit
