// virtual_mcu.cpp - the virtual MCU's machinery: commands to handlers,
// messages built from the state and the state following what is sent.
// The handlers are in behaviour/, one source per message family.
#include "virtual_mcu.h"

#include <cstdlib>

#include "behaviour/behaviour.h"

namespace mcu_sim {

namespace {

// Set requests that only store one argument, and the state key they set.
struct SimpleSet {
    const char *command;
    const char *argument;
    const char *key;
};
const SimpleSet kSimpleSets[] = {
    {"MCU_CMD_SET_ENGINEER_MODE", "status", "engineer_mode"},
    {"MCU_CMD_SET_POWEROFF_TIMER_DISP", "status", "poweroff_timer_disp"},
    {"MCU_CMD_SET_SCREEN_SAVE_MODE", "mode", "screen_save_mode"},
    {"MCU_CMD_RET_ALIVE", "status", "heartbeat"},
    {"MCU_CMD_SET_AUDIO_POWER", "status", "audio.power"},
    {"MCU_CMD_SET_AUDIO_SOURCE", "audio_source", "audio_source"},
    {"MCU_CMD_SET_AUDIO_AUX_GAIN", "level", "audio.aux_gain"},
    {"MCU_CMD_SET_AUDIO_BEEP", "status", "audio.beep"},
    {"MCU_CMD_SET_AUDIO_SPEED_VOLUME", "level", "audio.speed_volume"},
    {"MCU_CMD_SET_MAIN_DRIVER_ANSWER_STATUS", "status", "audio.main_answer"},
    {"MCU_CMD_SET_AUDIO_FUNCTION_SWITCH_INFO", "status", "audio.flat"},
    {"MCU_CMD_SET_RADIO_CURBAND_INFO", "status", "radio.curband"},
    {"MCU_CMD_SET_TFT_LANGUAGE", "languege_id", "tft.language"},
    {"MCU_CMD_SET_TFT_ILL_MODE", "mode", "tft.ill_mode"},
    {"MCU_CMD_SET_TFT_BACKLIGHT_STATUS", "status", "tft.backlight"},
    {"MCU_CMD_SET_TFT_BRIGHTNESS", "value", "tft.brightness"},
    {"MCU_CMD_SET_TFT_CONTRAST", "value", "tft.contrast"},
    {"MCU_CMD_SET_MHL_POP_TYPE", "type", "mhl.pop_type"},
};

// Messages whose fields each come from one state key.
struct FieldKey {
    const char *field;
    const char *key;
};
struct SimpleMessage {
    const char *message;
    std::vector<FieldKey> fields;
};
const std::vector<SimpleMessage> kSimpleMessages = {
    {"MCU_MSG_RET_POWER_KEY", {{"power_status", "power.status"}, {"power_mode", "power.mode"}}},
    {"MCU_MSG_SET_ENGINEER_MODE", {{"status", "engineer_mode"}}},
    {"MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS", {{"status", "poweroff_timer_disp"}}},
    {"MCU_MSG_RET_SCREEN_SAVE_MODE", {{"mode", "screen_save_mode"}}},
    {"MCU_MSG_RET_ALINE",
     {{"fail_to_start_num", "errors.fail_to_start_num"},
      {"heartbeat_timeout_num", "errors.heartbeat_timeout_num"},
      {"loss_of_sync_msg_num", "errors.loss_of_sync_msg_num"},
      {"repeat_sync_msg_num", "errors.repeat_sync_msg_num"}}},
    {"MCU_MSG_GET_VERSION_INFO", {{"type", "version.request_type"}}},
    {"MCU_MSG_RET_CUR_AUDIO_POWER_STATUS", {{"power_status", "audio.power"}, {"power_mode", "power.mode"}}},
    {"MCU_MSG_RET_BUTTON_LIGHT_PWM", {{"duty", "button.duty"}}},
    {"MCU_MSG_RET_IGN_ON_OFF_STATUS", {{"ignition", "ignition"}}},
    {"MCU_MSG_RET_CUR_AUDIO_SOURCE", {{"audio_source", "audio_source"}}},
    {"MCU_MSG_RET_AUDIO_AUX_GAIN_MODE", {{"level", "audio.aux_gain"}}},
    {"MCU_MSG_RET_AUDIO_BEEP_STATUS", {{"status", "audio.beep"}}},
    {"MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE", {{"level", "audio.speed_volume"}}},
    {"MCU_MSG_RET_AUDIO_SPEED", {{"speed", "audio.speed"}}},
    {"MCU_MSG_RET_MAIN_ANSWER_STATUS", {{"status", "audio.main_answer"}}},
    {"MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS", {{"status", "audio.aux_plug"}}},  // type AUX
    {"MCU_MSG_RET_AUDIO_VOLUME_INFO", {{"volume_values", "audio.volume"}}},    // AUDIO_VOLUME_TYPE
    {"MCU_MSG_RET_ARKAMYS_FUNC_SW", {{"status", "audio.flat"}}},
    {"MCU_MSG_RET_RADIO_NOTIFY",
     {{"band", "radio.band"}, {"preset_num", "radio.preset"}, {"status", "radio.status"}, {"cur_freq", "radio.freq"}}},
    {"MCU_MSG_RET_BLUETOOTH_STATUS", {{"type", "bluetooth.type"}, {"status", "bluetooth.status"}}},
    {"MCU_MSG_RET_TFT_VIDEO_SOURCE", {{"video_source", "video.source"}, {"video_type", "video.type"}}},
    {"MCU_MSG_RET_TFT_LANGUAGE", {{"language", "tft.language"}}},
    {"MCU_MSG_RET_TFT_ILL_MODE", {{"mode", "tft.ill_mode"}}},
    {"MCU_MSG_RET_TFT_BACKLIGHT_STATUS", {{"status", "tft.backlight"}}},
    {"MCU_MSG_RET_TFT_BRIGHTNESS_STATUS", {{"brightness", "tft.brightness"}}},
    {"MCU_MSG_RET_TFT_CONTRAST_STATUS", {{"contrast", "tft.contrast"}}},
    {"MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO",
     {{"daynight_mode", "tft.daynight"}, {"brightness_level", "tft.daynight_level"}, {"ILL_mode", "tft.ill_mode"}}},
    {"MCU_MSG_RET_MHL_SIGNAL_DET", {{"signal", "mhl.signal"}}},
};

// Messages whose payload is one byte run from a state key.
struct RunMessage {
    const char *message;
    const char *field;
    const char *key;
};
const RunMessage kRunMessages[] = {
    {"MCU_MSG_RET_SETUP_PARAM_INFO", "param_info", "setup.params"},
    {"MCU_MSG_RET_RADIO_COLLECTED_INFO", "content", "radio.collected"},
    {"MCU_MSG_RET_RADIO_FM_PARAMETER_INFO", "parameters", "radio.fm_parameters"},
    {"MCU_MSG_RET_RADIO_AM_PARAMETER_INFO", "parameters", "radio.am_parameters"},
    {"MCU_MSG_RET_AVM_SETTING_INFO", "settings", "avm.settings"},
    {"MCU_MSG_RET_AVM_DATA_INFO", "content", "avm.data"},
    {"MCU_MSG_RET_ENHOST_CAN", "data", "can.host"},
    {"MCU_MSG_RET_FCC_CAN", "data", "can.fcc"},
    {"MCU_MSG_RET_RCC_CAN", "data", "can.rcc"},
    {"MCU_MSG_RET_MCAN_INFO", "data", "can.mcan"},
    {"MCU_MSG_RET_AUTOTEST_DATA_INFO", "data", "autotest.data"},
};

}  // namespace

// The audio settings in AUDIO_SETTING_TYPE_ID order; MCU_MSG_RET_AUDIO_SETTING_INFO
// carries them in this order, one byte each.
const char *const kAudioSettingKeys[kAudioSettings] = {"audio.volume", "audio.bass",  "audio.mid", "audio.treble",
                                                       "audio.balance", "audio.fader", "audio.eq"};

std::string enum_text(const char *enumeration, uint32_t v) {
    const mcu_protocol::Enumeration *e = mcu_protocol::find_enumeration(enumeration);
    const std::string name = e ? mcu_protocol::enum_name(*e, v) : "";
    return name.empty() ? std::to_string(v) : name;
}

uint32_t clamp(int64_t v, uint32_t low, uint32_t high) {
    return static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(v, low), high));
}

uint8_t VirtualMcu::message_id(const char *name) {
    const mcu_protocol::Message *m = mcu_protocol::find_message(name);
    if (!m) {
        std::fprintf(stderr, "mcu-agent-sim: the description has no message %s\n", name);
        std::abort();
    }
    return m->id;
}

uint8_t VirtualMcu::command_id(const char *name) {
    const mcu_protocol::Command *c = mcu_protocol::find_command(name);
    if (!c) {
        std::fprintf(stderr, "mcu-agent-sim: the description has no command %s\n", name);
        std::abort();
    }
    return c->id;
}

VirtualMcu::VirtualMcu(State &state) : state_(state), initial_(state), resume_(0x10000, 0) {
    const struct {
        const char *command;
        Handler handler;
    } handlers[] = {
        {"MCU_CMD_RET_VERSION_INFO", &VirtualMcu::version_report},
        {"MCU_CMD_SET_RTC_CLOCK", &VirtualMcu::rtc_clock},
        {"MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE", &VirtualMcu::button_duty},
        {"MCU_CMD_SET_SETUP_PARAM_INFO", &VirtualMcu::setup_params},
        {"MCU_CMD_SET_PLAYER_RESUME_INFO", &VirtualMcu::resume_store},
        {"MCU_CMD_GET_PLAYER_RESUME_INFO", &VirtualMcu::resume_fetch},
        {"MCU_CMD_SET_MAINBOARD_DEFAULT_SETTING", &VirtualMcu::default_setting},
        {"MCU_CMD_SET_AUDIO_SETTING_INFO", &VirtualMcu::audio_setting},
        {"MCU_CMD_SET_ADJUST_VOLUME", &VirtualMcu::adjust_volume},
        {"MCU_CMD_SET_ABSOLUTELY_VOLUME", &VirtualMcu::absolute_volume},
        {"MCU_CMD_SET_RADIO_FREQ", &VirtualMcu::radio_freq},
        {"MCU_CMD_SET_RADIO_SEEK_UP", &VirtualMcu::seek_up},
        {"MCU_CMD_RADIO_FASTSEEK_UP", &VirtualMcu::seek_up},
        {"MCU_CMD_SET_RADIO_SEEK_DOWN", &VirtualMcu::seek_down},
        {"MCU_CMD_RADIO_FASTSEEK_DOWN", &VirtualMcu::seek_down},
        {"MCU_CMD_SET_RADIO_MANUAL_UP", &VirtualMcu::manual_up},
        {"MCU_CMD_SET_RADIO_MANUAL_DOWN", &VirtualMcu::manual_down},
        {"MCU_CMD_SET_RADIO_CTRL", &VirtualMcu::radio_ctrl},
        {"MCU_CMD_CALL_RADIO_PRESET_NUM", &VirtualMcu::call_preset},
        {"MCU_CMD_SAVE_RADIO_PRESET_NUM", &VirtualMcu::save_preset},
        {"MCU_CMD_CHANGE_RADIO_BAND", &VirtualMcu::change_band},
        {"MCU_CMD_SAVE_RADIO_COLLECTED_INFO", &VirtualMcu::collected},
        {"MCU_CMD_RADIO_STATION_LIST_UPDATE", &VirtualMcu::list_update},
        {"MCU_CMD_GET_RADIO_PRESET_INFO", &VirtualMcu::preset_fetch},
        {"MCU_CMD_SET_RADIO_BAND_CHANGE_INFO", &VirtualMcu::band_change_info},
        {"MCU_CMD_SET_RADIO_DIAGNOSE_INFO", &VirtualMcu::radio_diagnose},
        {"MCU_CMD_RET_BLUETOOTH_STATUS", &VirtualMcu::bluetooth},
        {"MCU_CMD_SET_VIDEO_SOURCE", &VirtualMcu::video_source},
        {"MCU_CMD_SET_TFT_DAYNIGHTMODE", &VirtualMcu::daynight},
        {"MCU_CMD_SET_AVM_SETTING_INFO", &VirtualMcu::avm_setting},
        {"MCU_CMD_SET_AVM_DEFAULT_SETTING", &VirtualMcu::avm_default},
        {"MCU_CMD_SET_AVM_DATA_INFO", &VirtualMcu::avm_data},
        {"MCU_CMD_SET_ENHOST_CAN", &VirtualMcu::can_channel},
        {"MCU_CMD_SET_FCC_CAN", &VirtualMcu::can_channel},
        {"MCU_CMD_SET_RCC_CAN", &VirtualMcu::can_channel},
        {"MCU_CMD_SEND_MCAN_INFO", &VirtualMcu::can_channel},
        {"MCU_CMD_SEND_HVAC_INFO", &VirtualMcu::hvac_keys},
        {"MCU_CMD_SEND_HVAC_DIAG_INFO", &VirtualMcu::hvac_diag},
    };
    for (const auto &h : handlers) handlers_[command_id(h.command)] = h.handler;
    for (const SimpleSet &s : kSimpleSets) command_id(s.command);  // every name must exist
    for (const SimpleMessage &m : kSimpleMessages) message_id(m.message);
    for (const RunMessage &m : kRunMessages) message_id(m.message);
}

Reaction VirtualMcu::handle(uint8_t id, const Bytes &payload) {
    Reaction r;
    const mcu_protocol::Command *cmd = mcu_protocol::find_command(id);
    if (!cmd) return r;
    const Layout *layout = mcu_protocol::select_layout(cmd->layouts, payload.data(), payload.size());
    if (!layout) return r;
    const Values args = mcu_protocol::decode(*layout, payload.data(), payload.size());

    current_command_ = id;
    auto h = handlers_.find(id);
    if (h != handlers_.end()) {
        (this->*h->second)(*layout, args, r);
        return r;
    }
    for (const SimpleSet &s : kSimpleSets)
        if (std::string(s.command) == cmd->name) {
            set_key(r, s.key, number_of(args, s.argument));
            return r;
        }
    if (cmd->answer >= 0) {
        report(r, mcu_protocol::find_message(static_cast<uint8_t>(cmd->answer))->name);
        return r;
    }
    if (std::string(cmd->name) == "MCU_CMD_GET_SYNC") r.notes.push_back("no message answers MCU_CMD_GET_SYNC");
    return r;
}

bool VirtualMcu::state_values(uint8_t id, Values *values) const {
    const mcu_protocol::Message *m = mcu_protocol::find_message(id);
    if (!m) return false;
    const std::string name = m->name;
    values->clear();
    for (const SimpleMessage &s : kSimpleMessages) {
        if (name != s.message) continue;
        for (const FieldKey &f : s.fields) values->push_back(number_value(f.field, state_.number(f.key)));
        if (name == "MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS") values->push_back(number_value("type", AUX));
        if (name == "MCU_MSG_RET_AUDIO_VOLUME_INFO") values->push_back(number_value("audio_type", AUDIO_VOLUME_TYPE));
        return true;
    }
    for (const RunMessage &s : kRunMessages)
        if (name == s.message) {
            values->push_back(mcu_protocol::bytes_value(s.field, state_.bytes(s.key)));
            return true;
        }
    if (name == "MCU_MSG_RET_MB_VERSION") {
        std::vector<uint8_t> cd = state_.bytes("version.cd");
        cd.resize(5, ' ');
        std::vector<uint8_t> vin = state_.bytes("version.vin");
        vin.resize(6, ' ');
        *values = {number_value("MB_version", state_.number("version.mb")),
                   number_value("MB_checksum", state_.number("version.checksum")),
                   mcu_protocol::bytes_value("CD_version", cd),
                   number_value("Panel_version", state_.number("version.panel")),
                   number_value("AVM_version", state_.number("version.avm")),
                   mcu_protocol::bytes_value("AVM_Vin", vin)};
        return true;
    }
    if (name == "MCU_MSG_RET_RTC_CLOCK_INFO" || name == "MCU_MSG_RET_GPS_CLOCK_INFO") {
        const std::string text = format_clock(state_.clock());  // YYYY-MM-DD HH:MM:SS
        auto part = [&](std::size_t at, std::size_t n) {
            return static_cast<uint32_t>(std::stoul(text.substr(at, n)));
        };
        *values = {number_value("year", part(0, 4)),   number_value("month", part(5, 2)),
                   number_value("date", part(8, 2)),   number_value("hours", part(11, 2)),
                   number_value("minutes", part(14, 2)), number_value("seconds", part(17, 2))};
        if (name == "MCU_MSG_RET_RTC_CLOCK_INFO") values->push_back(number_value("rtc_mode", state_.number("rtc.mode")));
        return true;
    }
    if (name == "MCU_MSG_RET_AUDIO_SETTING_INFO") {
        std::vector<uint8_t> settings;
        for (const char *k : kAudioSettingKeys) settings.push_back(static_cast<uint8_t>(state_.number(k)));
        values->push_back(mcu_protocol::bytes_value("settings", settings));
        return true;
    }
    if (name == "MCU_MSG_RET_RADIO_PRESET_INFO") {
        const uint32_t band = state_.number("radio.band");
        *values = {number_value("band", band), mcu_protocol::numbers_value("preset_freq", state_.numbers(preset_key(band))),
                   number_value("preset_num", state_.number("radio.preset"))};
        return true;
    }
    if (name == "MCU_MSG_RET_RADIO_STATION_LIST_INFO") {
        const uint32_t band = state_.number("radio.curband");
        const bool am = band == CMD_AM1 || band == CMD_AM2;
        *values = {number_value("band_type", band),
                   mcu_protocol::numbers_value("station_freq", state_.numbers(am ? "radio.stations.am" : "radio.stations.fm"))};
        return true;
    }
    if (name == "MCU_MSG_RET_CURRADIO_STATION_LIST_INFO") {
        *values = {number_value("band_type", state_.number("radio.curband")),
                   number_value("play_state", RADIO_SCAN_PLAY_END)};
        return true;
    }
    if (name == "MCU_MSG_RET_COREBOARD_RESUME_INFO") {
        *values = {number_value("address_offset", 0), mcu_protocol::bytes_value("data", {})};
        return true;
    }
    if (name == "MCU_MSG_RET_HVAC_INFO") {
        const bool on = state_.number("hvac.on") != 0;
        *values = {number_value("hvac_status", 1),
                   number_value("maxAC_on_off", state_.number("hvac.max_ac")),
                   number_value("AC_on_off", state_.number("hvac.ac")),
                   number_value("recirc_on_off", state_.number("hvac.recirc")),
                   number_value("fresh_on_off", state_.number("hvac.fresh")),
                   number_value("dual_on_off", state_.number("hvac.dual")),
                   number_value("hvac_mode", state_.number("hvac.mode")),
                   number_value("ACT_on_off", state_.number("hvac.auto")),
                   number_value("redefrost_on_off", state_.number("hvac.redefrost")),
                   number_value("defrost_on_off", state_.number("hvac.defrost")),
                   number_value("display_on_off", on ? 1 : 0),
                   number_value("blower_level", on ? state_.number("hvac.blower") : 0),
                   number_value("left_temp", state_.number("hvac.left_temp")),
                   number_value("right_temp", state_.number("hvac.right_temp")),
                   number_value("hvac_key", HVAC_KEY_NULL)};
        return true;
    }
    if (name == "MCU_MSG_RET_HVAC_DIAG_INFO") {
        // P2 is both the low byte of `code` and the top of `key`: the
        // report carries the key map for the key object and the fault code
        // for every other object.
        const uint32_t obj = state_.number("hvac.diag_obj");
        *values = {number_value("status", state_.number("hvac.diag_status")), number_value("obj", obj)};
        if (obj == HAVC_DIAG_CTRL_OBJ_KEY_VALUE)
            values->push_back(number_value("key", state_.number("hvac.diag_key")));
        else
            values->push_back(number_value("code", obj << 8 | (state_.number("hvac.diag_fault") & 0xFF)));
        return true;
    }
    return false;  // sent on an event only: keys, IT commander, popups
}

bool VirtualMcu::build(uint8_t id, const Values &overrides, Outgoing *out, std::string *error) const {
    const mcu_protocol::Message *m = mcu_protocol::find_message(id);
    if (!m) {
        *error = "no message " + std::to_string(id);
        return false;
    }
    Values values;
    state_values(id, &values);
    // A run given by the caller replaces the state's, and its count goes
    // with it.
    for (const Value &o : overrides) {
        for (const mcu_protocol::Layout &l : m->layouts)
            for (const mcu_protocol::Field &f : l.fields)
                if (f.count == mcu_protocol::Count::Field && o.name == f.name)
                    values.erase(std::remove_if(values.begin(), values.end(),
                                                [&](const Value &v) { return v.name == f.count_field; }),
                                 values.end());
        put(values, o);
    }
    out->id = id;
    return mcu_protocol::encode_any(m->layouts, values, &out->payload, error);
}

std::vector<std::string> VirtualMcu::absorb(const Outgoing &message) {
    std::vector<std::string> notes;
    const mcu_protocol::Message *m = mcu_protocol::find_message(message.id);
    const Layout *layout =
        m ? mcu_protocol::select_layout(m->layouts, message.payload.data(), message.payload.size()) : nullptr;
    if (!layout) return notes;
    const Values values = mcu_protocol::decode(*layout, message.payload.data(), message.payload.size());
    auto change = [&](const std::string &key, auto apply) {
        std::string before, after;
        state_.get(key, &before);
        apply();
        state_.get(key, &after);
        if (before != after) notes.push_back(key + ": " + before + " -> " + after);
    };
    const std::string name = m->name;
    for (const KeyField &kf : key_fields()) {
        if (!kf.follows || name != kf.message) continue;
        const Value *v = mcu_protocol::find_value(values, kf.field);
        if (!v) continue;
        const KeyInfo *info = nullptr;
        for (const KeyInfo &k : State::keys())
            if (std::string(k.key) == kf.key) info = &k;
        if (!info) continue;
        change(kf.key, [&] {
            if (info->type == KeyType::Number) {
                state_.set_number(kf.key, v->number);
            } else if (info->type == KeyType::Numbers) {
                state_.set_numbers(kf.key, v->numbers);
            } else if (info->type == KeyType::Text) {
                // A fixed text field is padded with spaces on the wire.
                std::vector<uint8_t> text = v->bytes;
                while (!text.empty() && (text.back() == ' ' || text.back() == 0)) text.pop_back();
                state_.set_bytes(kf.key, text);
            } else {
                state_.set_bytes(kf.key, v->bytes);
            }
        });
    }
    if (name == "MCU_MSG_RET_AUDIO_SETTING_INFO") {
        const Value *v = mcu_protocol::find_value(values, "settings");
        for (std::size_t i = 0; v && i < std::size(kAudioSettingKeys) && i < v->bytes.size(); ++i)
            change(kAudioSettingKeys[i], [&] { state_.set_number(kAudioSettingKeys[i], v->bytes[i]); });
    }
    if (name == "MCU_MSG_RET_RTC_CLOCK_INFO" || name == "MCU_MSG_RET_GPS_CLOCK_INFO") {
        char text[40];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", number_of(values, "year"),
                      number_of(values, "month"), number_of(values, "date"), number_of(values, "hours"),
                      number_of(values, "minutes"), number_of(values, "seconds"));
        int64_t seconds = 0;
        if (parse_clock(text, &seconds) && seconds != state_.clock()) {
            state_.set_clock(seconds);
            notes.push_back(std::string("rtc.time: set to ") + text);
        }
    }
    return notes;
}

void VirtualMcu::report(Reaction &r, const char *message, const Values &overrides) {
    Outgoing out;
    std::string error;
    if (build(message_id(message), overrides, &out, &error))
        r.frames.push_back(std::move(out));
    else
        r.notes.push_back(std::string("cannot build ") + message + ": " + error);
}

bool VirtualMcu::set_key(Reaction &r, const std::string &key, uint32_t value) {
    std::string before;
    state_.get(key, &before);
    const std::string why = State::check_number(key, value);
    if (!why.empty()) {
        const mcu_protocol::Command *c = mcu_protocol::find_command(current_command_);
        r.flags.push_back(std::string(c ? c->name : "request") + ": " + why + "; " + key + " stays " + before);
        return false;
    }
    state_.set_number(key, value);
    std::string after;
    state_.get(key, &after);
    r.notes.push_back(key + ": " + before + " -> " + after);
    return true;
}

}  // namespace mcu_sim
