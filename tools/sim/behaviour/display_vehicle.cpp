// display_vehicle.cpp - what the virtual MCU does with the display,
// video, camera and Bluetooth commands, the CAN relay and the climate
// control's keys and diagnosis.
#include "behaviour.h"

namespace mcu_sim {

namespace {

struct CanKey {
    const char *command;
    const char *key;
};
// The CAN channel commands and the key that keeps each one's last payload.
const CanKey kCanKeys[] = {{"MCU_CMD_SET_ENHOST_CAN", "can.host"},
                           {"MCU_CMD_SET_FCC_CAN", "can.fcc"},
                           {"MCU_CMD_SET_RCC_CAN", "can.rcc"},
                           {"MCU_CMD_SEND_MCAN_INFO", "can.mcan"}};

}  // namespace

// ---- display, video, camera and Bluetooth ---------------------------

void VirtualMcu::bluetooth(const Layout &, const Values &args, Reaction &r) {
    set_key(r, "bluetooth.type", number_of(args, "type"));
    set_key(r, "bluetooth.status", number_of(args, "status"));
}

void VirtualMcu::video_source(const Layout &, const Values &args, Reaction &r) {
    set_key(r, "video.source", number_of(args, "video_source"));
    set_key(r, "video.type", number_of(args, "video_type"));
}

void VirtualMcu::daynight(const Layout &, const Values &args, Reaction &r) {
    const uint32_t level = number_of(args, "level");
    if (level == SET_CUR_MODE_LEVEL) {
        set_key(r, "tft.daynight_level", number_of(args, "value"));
    } else if (level != GET_CUR_MODE_LEVEL) {
        r.notes.push_back("day/night: level is neither SET_CUR_MODE_LEVEL nor GET_CUR_MODE_LEVEL");
        return;
    }
    report(r, "MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO");
}

void VirtualMcu::avm_setting(const Layout &, const Values &args, Reaction &r) {
    const uint32_t type = number_of(args, "type");
    std::vector<uint8_t> settings = state_.bytes("avm.settings");
    if (type >= AVM_SETTING_TYPE_MAX_ID) {
        r.notes.push_back("AVM: no setting " + std::to_string(type));
        return;
    }
    if (settings.size() <= type) settings.resize(type + 1, 0);
    settings[type] = static_cast<uint8_t>(number_of(args, "value"));
    state_.set_bytes("avm.settings", settings);
    r.notes.push_back("avm.settings: " + enum_text("AVM_SETTING_TYPE_ID", type) + " = " +
                      std::to_string(settings[type]));
}

void VirtualMcu::avm_default(const Layout &, const Values &, Reaction &r) {
    state_.set_bytes("avm.settings", initial_.bytes("avm.settings"));
    r.notes.push_back("avm.settings: back to the defaults");
}

void VirtualMcu::avm_data(const Layout &, const Values &args, Reaction &r) {
    const Value *c = mcu_protocol::find_value(args, "content");
    state_.set_bytes("avm.data", c ? c->bytes : std::vector<uint8_t>{});
    report(r, "MCU_MSG_RET_AVM_DATA_INFO");
}

// ---- vehicle bus and climate control --------------------------------

// Each channel echoes what it is given under its own number: a relayed
// payload, or the one-byte query.
void VirtualMcu::can_channel(const Layout &, const Values &args, Reaction &r) {
    const Value *v = mcu_protocol::find_value(args, "data");
    const std::vector<uint8_t> data =
        v ? v->bytes : std::vector<uint8_t>{static_cast<uint8_t>(number_of(args, "subid"))};
    const char *key = "can.mcan";
    for (const CanKey &k : kCanKeys)
        if (command_id(k.command) == current_command_) key = k.key;
    state_.set_bytes(key, data);
    Outgoing out;
    out.id = current_command_;  // the channel's message shares the command's number
    out.payload = data;
    r.frames.push_back(std::move(out));
    r.notes.push_back(std::string(key) + ": " + std::to_string(data.size()) + " bytes echoed");
}

void VirtualMcu::hvac_keys(const Layout &, const Values &args, Reaction &r) {
    auto pressed = [&](const char *key) { return number_of(args, key, HVAC_KEY_STATUS_UP) == HVAC_KEY_STATUS_DOWN; };
    bool all_down = true;
    for (const mcu_protocol::Field &f : mcu_protocol::find_command(mcu_agent::MCU_CMD_SEND_HVAC_INFO)->layouts[0].fields)
        if (f.enumeration) all_down = all_down && pressed(f.name);  // the key states, not the targets
    uint32_t key = HVAC_KEY_NULL;
    auto toggle = [&](const char *state_key, uint32_t hvac_key) {
        set_key(r, state_key, state_.number(state_key) ? 0 : 1);
        key = hvac_key;
    };
    auto step = [&](const char *state_key, int delta, uint32_t hvac_key) {
        const mcu_protocol::NumberRule range = State::rule(state_key);
        set_key(r, state_key,
                clamp(static_cast<int64_t>(state_.number(state_key)) + delta, range.lowest(), range.highest()));
        key = hvac_key;
    };
    if (all_down) {
        // HVAC_KEY_STATUS_DOWN is 0: a record left zero-filled holds every
        // key down at once.
        r.notes.push_back("hvac: every key is held down (a zero-filled HVAC_STATUS? a released key is "
                          "HVAC_KEY_STATUS_UP); keys ignored");
    } else {
        if (pressed("on_off")) toggle("hvac.on", HVAC_KEY__ON_OFF);
        if (pressed("AC")) toggle("hvac.ac", HVAC_KEY_AC);
        if (pressed("maxAC")) toggle("hvac.max_ac", HVAC_KEY__MAX_AC);
        if (pressed("recirc")) {
            set_key(r, "hvac.recirc", 1);
            set_key(r, "hvac.fresh", 0);
            key = HVAC_KEY_INNER_LOOP;
        }
        if (pressed("fresh")) {
            set_key(r, "hvac.fresh", 1);
            set_key(r, "hvac.recirc", 0);
            key = HVAC_KEY_OUTSIDE_LOOP;
        }
        if (pressed("defrost")) toggle("hvac.defrost", HVAC_KEY_FRONT_DEFROST);
        if (pressed("redefrost")) toggle("hvac.redefrost", HVAC_KEY_REAR_DEFROST);
        if (pressed("dual")) toggle("hvac.dual", HVAC_KEY_DAUL_ZONE);
        if (pressed("mode")) {
            const uint32_t mode = state_.number("hvac.mode");
            set_key(r, "hvac.mode", mode >= HVAC_MODE_BLOW_FEET_DEFROST ? uint32_t{HVAC_MODE_BLOW_FACE} : mode + 1);
            key = HVAC_KEY_MODE;
        }
        if (pressed("front_panel_left_temp_minus") || pressed("touch_panel_left_temp_minus"))
            step("hvac.left_temp", -1, HVAC_KEY_LEFT_TEM_DECREASED);
        if (pressed("front_panel_letf_tmep_plus") || pressed("touch_panel_letf_tmep_plus"))
            step("hvac.left_temp", 1, HVAC_KEY_LEFT_TEM_INCREASED);
        if (pressed("front_panel_right_temp_minus") || pressed("touch_panel_right_temp_minus"))
            step("hvac.right_temp", -1, HVAC_KEY_RIGHT_TEM_DECREASED);
        if (pressed("front_panel_right_tmep_plus") || pressed("touch_panel_right_tmep_plus"))
            step("hvac.right_temp", 1, HVAC_KEY_RIGHT_TEM_INCREASED);
        if (pressed("front_panel_blower_minus") || pressed("touch_panel_blower_minus"))
            step("hvac.blower", -1, HVAC_KEY_AIR_DECREASED);
        if (pressed("front_panel_blower_plus") || pressed("touch_panel_blower_plus"))
            step("hvac.blower", 1, HVAC_KEY_AIR_INCREASED);
    }
    // Targets of 0 mean "no target".
    const uint32_t blower = number_of(args, "target_blower_level");
    if (blower && blower != state_.number("hvac.blower")) {
        key = blower > state_.number("hvac.blower") ? HVAC_KEY_AIR_INCREASED : HVAC_KEY_AIR_DECREASED;
        set_key(r, "hvac.blower", blower);
    }
    const uint32_t left = number_of(args, "touch_panel_target_letf_tmep");
    if (left && left != state_.number("hvac.left_temp")) {
        key = left > state_.number("hvac.left_temp") ? HVAC_KEY_LEFT_TEM_INCREASED : HVAC_KEY_LEFT_TEM_DECREASED;
        set_key(r, "hvac.left_temp", left);
    }
    const uint32_t right = number_of(args, "touch_panel_target_right_tmep");
    if (right && right != state_.number("hvac.right_temp")) {
        key = right > state_.number("hvac.right_temp") ? HVAC_KEY_RIGHT_TEM_INCREASED : HVAC_KEY_RIGHT_TEM_DECREASED;
        set_key(r, "hvac.right_temp", right);
    }
    report(r, "MCU_MSG_RET_HVAC_INFO", {number_value("hvac_key", key)});
}

void VirtualMcu::hvac_diag(const Layout &layout, const Values &args, Reaction &r) {
    const std::string request = layout.name;
    if (request == "exit") {
        set_key(r, "hvac.diag_status", HVAC_DIAG_STATUS_NON_EXECUTION);
    } else if (request == "entry") {
        set_key(r, "hvac.diag_obj", number_of(args, "obj"));
        set_key(r, "hvac.diag_status", HVAC_DIAG_STATUS_APPLY_SUCCESS);
    } else if (request == "read status") {
        set_key(r, "hvac.diag_obj", number_of(args, "obj"));
        set_key(r, "hvac.diag_status", HVAC_DIAG_STATUS_DONE_EXECUTION);
    } else {
        r.notes.push_back("hvac: unit test mode " + enum_text("HVAC_DIAG_CTRL_UT_MODE_ID", number_of(args, "mode")));
        set_key(r, "hvac.diag_status", HVAC_DIAG_STATUS_APPLY_SUCCESS);
    }
    report(r, "MCU_MSG_RET_HVAC_DIAG_INFO");
}

}  // namespace mcu_sim
