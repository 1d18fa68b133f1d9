// virtual_mcu.cpp - the virtual MCU's behaviour.
#include "virtual_mcu.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <mcu_agent_api.h>

#include "description.h"
#include "words.h"

namespace mcu_sim {

namespace {

using mcu_protocol::Bytes;
using mcu_protocol::Layout;
using mcu_protocol::number_of;
using mcu_protocol::number_value;
using mcu_protocol::Value;
using mcu_protocol::Values;

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

// The audio settings in AUDIO_SETTING_TYPE_ID order; MCU_MSG_RET_AUDIO_SETTING_INFO
// carries them in this order, one byte each.
const char *const kAudioSettingKeys[] = {"audio.volume", "audio.bass",    "audio.mid", "audio.treble",
                                         "audio.balance", "audio.fader", "audio.eq"};
constexpr uint32_t kMaxVolume = 40;
constexpr uint32_t kMaxDuty = 10;

const char *const kBandNames[] = {"FM1", "FM2", "FM3", "FM4", "AM1", "AM2", "AM3", "AM4"};
struct BandRange {
    uint32_t low, high, step;
};
constexpr BandRange kFm = {8750, 10800, 10};  // 87.50 to 108.00 MHz in 10 kHz
constexpr BandRange kAm = {531, 1602, 9};     // kHz

// The CAN channel commands and the key that keeps each one's last payload.
const FieldKey kCanKeys[] = {{"MCU_CMD_SET_ENHOST_CAN", "can.host"},
                             {"MCU_CMD_SET_FCC_CAN", "can.fcc"},
                             {"MCU_CMD_SET_RCC_CAN", "can.rcc"},
                             {"MCU_CMD_SEND_MCAN_INFO", "can.mcan"}};

std::string enum_text(const char *enumeration, uint32_t v) {
    const mcu_protocol::Enumeration *e = mcu_protocol::find_enumeration(enumeration);
    const std::string name = e ? mcu_protocol::enum_name(*e, v) : "";
    return name.empty() ? std::to_string(v) : name;
}

std::string text_of(const std::vector<uint8_t> &b) { return std::string(b.begin(), b.end()); }

uint32_t clamp(int64_t v, uint32_t low, uint32_t high) {
    return static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(v, low), high));
}

}  // namespace

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

void VirtualMcu::set_key(Reaction &r, const std::string &key, uint32_t value) {
    std::string before;
    state_.get(key, &before);
    state_.set_number(key, value);
    std::string after;
    state_.get(key, &after);
    r.notes.push_back(key + ": " + before + " -> " + after);
}

// ---- system, power, keys and clock ----------------------------------

void VirtualMcu::version_report(const Layout &, const Values &args, Reaction &r) {
    const Value *text = mcu_protocol::find_value(args, "version_buffer");
    const uint32_t type = number_of(args, "type");
    const std::vector<uint8_t> bytes = text ? text->bytes : std::vector<uint8_t>{};
    if (type == VERSION_TYPE_HMI || type == VERSION_TYPE_BT)
        state_.set_bytes(type == VERSION_TYPE_HMI ? "app.version.hmi" : "app.version.bt", bytes);
    r.notes.push_back("the application reports " + enum_text("VERSION_TYPE_ID", type) + " version \"" +
                      text_of(bytes) + "\"");
}

void VirtualMcu::rtc_clock(const Layout &layout, const Values &args, Reaction &r) {
    if (std::string(layout.name) != "clock") {
        set_key(r, "rtc.mode", number_of(args, "mode"));
        return;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", number_of(args, "year"),
                  number_of(args, "month"), number_of(args, "date"), number_of(args, "hours"),
                  number_of(args, "minutes"), number_of(args, "seconds"));
    int64_t seconds = 0;
    if (!parse_clock(text, &seconds)) {
        r.notes.push_back(std::string("clock not set: ") + text + " is not a time");
        return;
    }
    state_.set_clock(seconds);
    r.notes.push_back(std::string("rtc.time: set to ") + text);
}

void VirtualMcu::button_duty(const Layout &, const Values &args, Reaction &r) {
    if (number_of(args, "mode") != SET_DUTY_CYCLE) {
        r.notes.push_back("button backlight: mode is not SET_DUTY_CYCLE");
        return;
    }
    const int64_t duty = state_.number("button.duty");
    set_key(r, "button.duty", clamp(duty + (number_of(args, "value") == BUTTON_ADD ? 1 : -1), 0, kMaxDuty));
    report(r, "MCU_MSG_RET_BUTTON_LIGHT_PWM");
}

void VirtualMcu::setup_params(const Layout &, const Values &args, Reaction &r) {
    const Value *p = mcu_protocol::find_value(args, "param_info");
    state_.set_bytes("setup.params", p ? p->bytes : std::vector<uint8_t>{});
    r.notes.push_back("setup.params: " + std::to_string(state_.bytes("setup.params").size()) + " bytes stored");
}

void VirtualMcu::resume_store(const Layout &, const Values &args, Reaction &r) {
    const uint32_t address = number_of(args, "address_offset");
    const Value *data = mcu_protocol::find_value(args, "data");
    const std::size_t n = data ? data->bytes.size() : 0;
    const std::size_t kept = std::min(n, resume_.size() - address);
    if (kept) std::copy_n(data->bytes.begin(), kept, resume_.begin() + address);
    r.notes.push_back("resume data: " + std::to_string(kept) + " bytes stored at " + std::to_string(address));
}

void VirtualMcu::resume_fetch(const Layout &, const Values &args, Reaction &r) {
    const uint32_t address = number_of(args, "address_offset");
    uint32_t length = number_of(args, "length");
    // The application's record holds 128 data bytes.
    if (length > 128) {
        r.notes.push_back("resume data: " + std::to_string(length) + " bytes asked for, 128 sent");
        length = 128;
    }
    length = std::min<uint32_t>(length, static_cast<uint32_t>(resume_.size() - address));
    std::vector<uint8_t> data(resume_.begin() + address, resume_.begin() + address + length);
    report(r, "MCU_MSG_RET_COREBOARD_RESUME_INFO",
           {number_value("address_offset", address), mcu_protocol::bytes_value("data", data)});
}

void VirtualMcu::default_setting(const Layout &, const Values &, Reaction &r) {
    const int64_t clock = state_.clock();
    for (const KeyInfo &k : State::keys()) {
        std::string text, error;
        initial_.get(k.key, &text);
        state_.set(k.key, text, &error);
    }
    state_.set_clock(clock);
    r.notes.push_back("every setting back to its initial value");
}

// ---- audio ----------------------------------------------------------

void VirtualMcu::audio_setting(const Layout &, const Values &args, Reaction &r) {
    const uint32_t type = number_of(args, "type");
    if (type >= std::size(kAudioSettingKeys)) {
        r.notes.push_back("no audio setting " + std::to_string(type));
        return;
    }
    set_key(r, kAudioSettingKeys[type], number_of(args, "value"));
}

void VirtualMcu::adjust_volume(const Layout &, const Values &args, Reaction &r) {
    const int64_t v = state_.number("audio.volume");
    set_key(r, "audio.volume", clamp(v + (number_of(args, "status") == ADJUST_VOLUME_UP ? 1 : -1), 0, kMaxVolume));
    report(r, "MCU_MSG_RET_AUDIO_VOLUME_INFO");
}

void VirtualMcu::absolute_volume(const Layout &, const Values &args, Reaction &r) {
    const uint32_t which = number_of(args, "absolutely_volume");
    const uint32_t value = std::min(number_of(args, "value"), kMaxVolume);
    const char *key = nullptr;
    uint32_t type = AUDIO_VOLUME_TYPE;
    switch (which) {
        case SET_MAIN_VOLUME:
        case GET_MAIN_VOLUME: key = "audio.volume"; break;
        case SET_BTHFP_VOLUME:
        case GET_BTHFP_VOLUME:
            key = "audio.bthfp_volume";
            type = AUDIO_BT_HFP_VOLUME_TYPE_OFF;
            break;
        case SET_SMARTPHONE_VOLUME:
        case GET_SMARTPHONE_VOLUME:
            key = "audio.smartphone_volume";
            type = AUDIO_SMARTPHONE_VOLUME_TYPE;
            break;
        default: r.notes.push_back("no volume channel " + std::to_string(which)); return;
    }
    if (which == SET_MAIN_VOLUME || which == SET_BTHFP_VOLUME || which == SET_SMARTPHONE_VOLUME)
        set_key(r, key, value);
    report(r, "MCU_MSG_RET_AUDIO_VOLUME_INFO",
           {number_value("audio_type", type), number_value("volume_values", state_.number(key))});
}

// ---- radio tuner ----------------------------------------------------

bool VirtualMcu::fm_band() const { return state_.number("radio.band") < RADIO_BAND_AM1; }

std::string VirtualMcu::preset_key(uint32_t band) const {
    return std::string("radio.presets.") + kBandNames[band < std::size(kBandNames) ? band : 0];
}

// Moves the tuner to `freq` and reports the notice; the preset number
// follows the frequency.
void VirtualMcu::tune(Reaction &r, uint32_t freq, uint32_t status, const char *why) {
    const uint32_t band = state_.number("radio.band");
    const std::vector<uint32_t> &presets = state_.numbers(preset_key(band));
    uint32_t preset = 0;
    for (std::size_t k = 0; k < presets.size(); ++k)
        if (presets[k] == freq) preset = static_cast<uint32_t>(k + 1);
    r.notes.push_back(std::string(why) + ": " + std::to_string(state_.number("radio.freq")) + " -> " +
                      std::to_string(freq));
    state_.set_number("radio.freq", freq);
    state_.set_number("radio.preset", preset);
    state_.set_number("radio.status", status);
    report(r, "MCU_MSG_RET_RADIO_NOTIFY");
    if (status != RADIO_STATUS_NORMAL) {
        state_.set_number("radio.status", RADIO_STATUS_NORMAL);
        report(r, "MCU_MSG_RET_RADIO_NOTIFY");
    }
}

void VirtualMcu::radio_freq(const Layout &, const Values &args, Reaction &r) {
    const BandRange range = fm_band() ? kFm : kAm;
    const uint32_t freq = number_of(args, "freq");
    if (freq < range.low || freq > range.high) {
        r.notes.push_back("radio: " + std::to_string(freq) + " is outside the band (" + std::to_string(range.low) +
                          " to " + std::to_string(range.high) + "), not tuned");
        report(r, "MCU_MSG_RET_RADIO_NOTIFY");
        return;
    }
    tune(r, freq, RADIO_STATUS_NORMAL, "radio: tuned");
}

void VirtualMcu::seek_up(const Layout &layout, const Values &args, Reaction &r) {
    const std::vector<uint32_t> &stations = state_.numbers(fm_band() ? "radio.stations.fm" : "radio.stations.am");
    if (stations.empty()) return manual_up(layout, args, r);
    const uint32_t freq = state_.number("radio.freq");
    uint32_t next = *std::min_element(stations.begin(), stations.end());
    for (uint32_t s : stations)
        if (s > freq && (next <= freq || s < next)) next = s;
    tune(r, next, RADIO_STATUS_SEEK_UP, "radio: seek up");
}

void VirtualMcu::seek_down(const Layout &layout, const Values &args, Reaction &r) {
    const std::vector<uint32_t> &stations = state_.numbers(fm_band() ? "radio.stations.fm" : "radio.stations.am");
    if (stations.empty()) return manual_down(layout, args, r);
    const uint32_t freq = state_.number("radio.freq");
    uint32_t next = *std::max_element(stations.begin(), stations.end());
    for (uint32_t s : stations)
        if (s < freq && (next >= freq || s > next)) next = s;
    tune(r, next, RADIO_STATUS_SEEK_DN, "radio: seek down");
}

void VirtualMcu::manual_up(const Layout &, const Values &, Reaction &r) {
    const BandRange range = fm_band() ? kFm : kAm;
    const uint32_t freq = state_.number("radio.freq") + range.step;
    tune(r, freq > range.high ? range.low : freq, RADIO_STATUS_NORMAL, "radio: step up");
}

void VirtualMcu::manual_down(const Layout &, const Values &, Reaction &r) {
    const BandRange range = fm_band() ? kFm : kAm;
    const uint32_t freq = state_.number("radio.freq");
    tune(r, freq < range.low + range.step ? range.high : freq - range.step, RADIO_STATUS_NORMAL, "radio: step down");
}

void VirtualMcu::radio_ctrl(const Layout &, const Values &args, Reaction &r) {
    const uint32_t ctrl = number_of(args, "status");
    if (ctrl == RADIO_CTRL_SCAN) {
        state_.set_number("radio.status", RADIO_STATUS_SCAN);
        report(r, "MCU_MSG_RET_RADIO_NOTIFY");
        state_.set_number("radio.status", RADIO_STATUS_NORMAL);
        report(r, "MCU_MSG_RET_RADIO_NOTIFY");
        r.notes.push_back("radio: scan");
        return;
    }
    if (ctrl != RADIO_CTRL_APS) {
        r.notes.push_back("radio: no control " + std::to_string(ctrl));
        return;
    }
    // Auto preset store: the first six stations become the band's presets.
    std::vector<uint32_t> stations = state_.numbers(fm_band() ? "radio.stations.fm" : "radio.stations.am");
    stations.resize(std::min<std::size_t>(stations.size(), 6));
    stations.resize(6, 0);
    state_.set_numbers(preset_key(state_.number("radio.band")), stations);
    state_.set_number("radio.status", RADIO_STATUS_APS);
    report(r, "MCU_MSG_RET_RADIO_NOTIFY");
    report(r, "MCU_MSG_RET_RADIO_PRESET_INFO");
    state_.set_number("radio.status", RADIO_STATUS_NORMAL);
    report(r, "MCU_MSG_RET_RADIO_NOTIFY");
    r.notes.push_back("radio: presets stored from the station list");
}

void VirtualMcu::call_preset(const Layout &, const Values &args, Reaction &r) {
    const uint32_t n = number_of(args, "preset_num");
    const std::vector<uint32_t> &presets = state_.numbers(preset_key(state_.number("radio.band")));
    if (n == 0 || n > presets.size()) {
        r.notes.push_back("radio: no preset " + std::to_string(n));
        report(r, "MCU_MSG_RET_RADIO_NOTIFY");
        return;
    }
    tune(r, presets[n - 1], RADIO_STATUS_NORMAL, ("radio: preset " + std::to_string(n)).c_str());
}

void VirtualMcu::save_preset(const Layout &, const Values &args, Reaction &r) {
    const uint32_t n = number_of(args, "preset_num");
    const std::string key = preset_key(state_.number("radio.band"));
    std::vector<uint32_t> presets = state_.numbers(key);
    if (n == 0 || n > 12) {
        r.notes.push_back("radio: no preset " + std::to_string(n));
        return;
    }
    if (presets.size() < n) presets.resize(n <= 6 ? 6 : n <= 7 ? 7 : 12, 0);
    presets[n - 1] = state_.number("radio.freq");
    state_.set_numbers(key, presets);
    state_.set_number("radio.preset", n);
    r.notes.push_back("radio: preset " + std::to_string(n) + " = " + std::to_string(presets[n - 1]));
    report(r, "MCU_MSG_RET_RADIO_PRESET_INFO");
}

void VirtualMcu::change_band(const Layout &, const Values &, Reaction &r) {
    const uint32_t band = (state_.number("radio.band") + 1) % std::size(kBandNames);
    set_key(r, "radio.band", band);
    const std::vector<uint32_t> &presets = state_.numbers(preset_key(band));
    const BandRange range = band < RADIO_BAND_AM1 ? kFm : kAm;
    tune(r, presets.empty() || presets[0] == 0 ? range.low : presets[0], RADIO_STATUS_NORMAL, "radio: band changed");
}

void VirtualMcu::collected(const Layout &, const Values &args, Reaction &r) {
    const Value *c = mcu_protocol::find_value(args, "content");
    state_.set_bytes("radio.collected", c ? c->bytes : std::vector<uint8_t>{});
    report(r, "MCU_MSG_RET_RADIO_COLLECTED_INFO");
}

void VirtualMcu::list_update(const Layout &, const Values &args, Reaction &r) {
    const uint32_t cmd = number_of(args, "cmd");
    switch (cmd) {
        case START_LIST_UPDATE:
            report(r, "MCU_MSG_RET_CURRADIO_STATION_LIST_INFO", {number_value("play_state", RADIO_SCAN_PLAY_START)});
            report(r, "MCU_MSG_RET_RADIO_STATION_LIST_INFO");
            report(r, "MCU_MSG_RET_CURRADIO_STATION_LIST_INFO", {number_value("play_state", RADIO_SCAN_PLAY_END)});
            break;
        case CANCEL_LIST_UPDATE:
            report(r, "MCU_MSG_RET_CURRADIO_STATION_LIST_INFO", {number_value("play_state", RADIO_SCAN_PLAY_END)});
            break;
        case GET_FM1_STATION_LIST:
            report(r, "MCU_MSG_RET_RADIO_STATION_LIST_INFO",
                   {number_value("band_type", CMD_FM1),
                    mcu_protocol::numbers_value("station_freq", state_.numbers("radio.stations.fm"))});
            break;
        case GET_AM1_STATION_LIST:
            report(r, "MCU_MSG_RET_RADIO_STATION_LIST_INFO",
                   {number_value("band_type", CMD_AM1),
                    mcu_protocol::numbers_value("station_freq", state_.numbers("radio.stations.am"))});
            break;
        default: r.notes.push_back("radio: no list command " + std::to_string(cmd)); return;
    }
}

void VirtualMcu::preset_fetch(const Layout &, const Values &args, Reaction &r) {
    const uint32_t band = number_of(args, "band");
    if (band >= std::size(kBandNames)) {
        r.notes.push_back("radio: no band " + std::to_string(band) + ", no presets sent");
        return;
    }
    const uint32_t preset = band == state_.number("radio.band") ? state_.number("radio.preset") : 0;
    report(r, "MCU_MSG_RET_RADIO_PRESET_INFO",
           {number_value("band", band), mcu_protocol::numbers_value("preset_freq", state_.numbers(preset_key(band))),
            number_value("preset_num", preset)});
}

void VirtualMcu::band_change_info(const Layout &, const Values &args, Reaction &r) {
    const uint32_t band = number_of(args, "band");
    if (band >= std::size(kBandNames)) {
        r.notes.push_back("radio: no band " + std::to_string(band));
        return;
    }
    set_key(r, "radio.band", band);
    tune(r, number_of(args, "preset_freq"), RADIO_STATUS_NORMAL, "radio: band change");
}

void VirtualMcu::radio_diagnose(const Layout &, const Values &args, Reaction &r) {
    if (number_of(args, "status") == ENTER_RADIO_DIAGNOSE) {
        r.notes.push_back("radio: diagnosis entered, parameter blocks follow");
        report(r, "MCU_MSG_RET_RADIO_FM_PARAMETER_INFO");
        report(r, "MCU_MSG_RET_RADIO_AM_PARAMETER_INFO");
    } else {
        r.notes.push_back("radio: diagnosis left");
    }
}

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
    for (const FieldKey &k : kCanKeys)
        if (command_id(k.field) == current_command_) key = k.key;
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
    auto step = [&](const char *state_key, int delta, uint32_t high, uint32_t hvac_key) {
        set_key(r, state_key, clamp(static_cast<int64_t>(state_.number(state_key)) + delta, 0, high));
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
            step("hvac.left_temp", -1, 31, HVAC_KEY_LEFT_TEM_DECREASED);
        if (pressed("front_panel_letf_tmep_plus") || pressed("touch_panel_letf_tmep_plus"))
            step("hvac.left_temp", 1, 31, HVAC_KEY_LEFT_TEM_INCREASED);
        if (pressed("front_panel_right_temp_minus") || pressed("touch_panel_right_temp_minus"))
            step("hvac.right_temp", -1, 31, HVAC_KEY_RIGHT_TEM_DECREASED);
        if (pressed("front_panel_right_tmep_plus") || pressed("touch_panel_right_tmep_plus"))
            step("hvac.right_temp", 1, 31, HVAC_KEY_RIGHT_TEM_INCREASED);
        if (pressed("front_panel_blower_minus") || pressed("touch_panel_blower_minus"))
            step("hvac.blower", -1, 15, HVAC_KEY_AIR_DECREASED);
        if (pressed("front_panel_blower_plus") || pressed("touch_panel_blower_plus"))
            step("hvac.blower", 1, 15, HVAC_KEY_AIR_INCREASED);
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
