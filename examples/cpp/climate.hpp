// climate.hpp - the climate module of the example head unit: it follows
// the MCU's climate reports and the ignition, and sets the blower.
#ifndef EXAMPLE_CLIMATE_HPP
#define EXAMPLE_CLIMATE_HPP

#include <mcu_agent.hpp>

namespace head_unit {

class Climate {
public:
    explicit Climate(mcu_agent::client &agent);

    // Sends the blower level (0 to 15) as a touch-panel setting; refused
    // (false, nothing sent) while the ignition is off or unknown.
    bool set_blower(int level);

    bool ignition_known() const { return ignition_known_; }
    bool ignition_on() const { return ignition_on_; }
    int blower() const { return blower_; }      // -1 until the MCU reports
    int left_temp() const { return left_temp_; }

private:
    void ask_ignition();

    mcu_agent::client &agent_;
    mcu_agent::subscription connection_;
    mcu_agent::subscription hvac_;
    mcu_agent::subscription ignition_;
    mcu_agent::pending_call asking_;
    bool ignition_known_ = false;
    bool ignition_on_ = false;
    int blower_ = -1;
    int left_temp_ = -1;
};

}  // namespace head_unit

#endif  // EXAMPLE_CLIMATE_HPP
