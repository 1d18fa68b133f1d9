// virtual_mcu.h - what the MCU does with each command of the application:
// a set request changes the state, a get request is answered with the
// paired message built from the state, and some requests (tuning, HVAC
// keys, volume steps) change the state and report the result.  Commands
// and messages are named here; their ids and payloads come from the
// protocol description.
#ifndef MCU_SIM_VIRTUAL_MCU_H
#define MCU_SIM_VIRTUAL_MCU_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "codec.h"
#include "frame.h"
#include "state.h"

namespace mcu_sim {

// An inbound message to send: id and payload.
struct Outgoing {
    uint8_t id = 0;
    mcu_protocol::Bytes payload;
};

struct Reaction {
    std::vector<Outgoing> frames;    // sent to the application, in order
    std::vector<std::string> notes;  // what changed, in words, for the log
    // What was wrong with the request (a value outside its key's range):
    // flagged in the log and counted under --strict.
    std::vector<std::string> flags;
};

class VirtualMcu {
public:
    explicit VirtualMcu(State &state);

    // One valid frame of the application (checked against the description
    // before it gets here).
    Reaction handle(uint8_t id, const mcu_protocol::Bytes &payload);

    // The values of message `message_id` as the state has them; false for
    // messages the MCU only sends on an event (key presses, the IT
    // commander), which start from zero.
    bool state_values(uint8_t message_id, mcu_protocol::Values *values) const;

    // Message `message_id` built from the state with `overrides` applied.
    bool build(uint8_t message_id, const mcu_protocol::Values &overrides, Outgoing *out, std::string *error) const;

    // A message the MCU sends of its own accord (a console or scenario
    // command) changes the state it reports, so that later answers agree
    // with it.  Returns what changed, in words.
    std::vector<std::string> absorb(const Outgoing &message);

    // The id of a message or command by name; aborts on a name the
    // description does not have (a fault of this program).
    static uint8_t message_id(const char *name);
    static uint8_t command_id(const char *name);

private:
    using Handler = void (VirtualMcu::*)(const mcu_protocol::Layout &layout, const mcu_protocol::Values &args,
                                         Reaction &r);

    void report(Reaction &r, const char *message, const mcu_protocol::Values &overrides = {});
    // Takes `value` into `key` when the key's range allows it; otherwise
    // flags the request and the state keeps its value.
    bool set_key(Reaction &r, const std::string &key, uint32_t value);

    // Handlers, by the command they serve.
    void version_report(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void rtc_clock(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void button_duty(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void setup_params(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void resume_store(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void resume_fetch(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void default_setting(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void audio_setting(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void adjust_volume(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void absolute_volume(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void radio_freq(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void seek_up(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void seek_down(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void manual_up(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void manual_down(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void radio_ctrl(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void call_preset(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void save_preset(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void change_band(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void collected(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void list_update(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void preset_fetch(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void band_change_info(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void radio_diagnose(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void bluetooth(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void video_source(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void daynight(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void avm_setting(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void avm_default(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void avm_data(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void can_channel(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void hvac_keys(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);
    void hvac_diag(const mcu_protocol::Layout &, const mcu_protocol::Values &, Reaction &);

    // Radio helpers.
    bool fm_band() const;
    std::string preset_key(uint32_t band) const;
    void tune(Reaction &r, uint32_t freq, uint32_t status, const char *why);

    State &state_;
    State initial_;
    std::vector<uint8_t> resume_;
    std::map<uint8_t, Handler> handlers_;
    uint8_t current_command_ = 0;  // the command being handled
};

}  // namespace mcu_sim

#endif  // MCU_SIM_VIRTUAL_MCU_H
