// radio.hpp - the radio module of the example head unit: it follows the
// tuner, tunes, and seeks on the steering-wheel keys.
#ifndef EXAMPLE_RADIO_HPP
#define EXAMPLE_RADIO_HPP

#include <cstdint>

#include <mcu_agent.hpp>

namespace head_unit {

class Radio {
public:
    explicit Radio(mcu_agent::client &agent);

    bool tune(uint16_t freq);
    uint32_t frequency() const { return frequency_; }  // 0 until known

private:
    void ask_tuner();

    mcu_agent::client &agent_;
    mcu_agent::subscription notify_;
    mcu_agent::subscription keys_;
    mcu_agent::subscription connection_;
    mcu_agent::pending_call asking_;
    uint32_t frequency_ = 0;
};

}  // namespace head_unit

#endif  // EXAMPLE_RADIO_HPP
