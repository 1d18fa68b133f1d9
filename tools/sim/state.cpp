// state.cpp - the virtual MCU's keys, their defaults and the JSON file.
#include "state.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <nlohmann/json.hpp>

#include "codec.h"
#include "description.h"
#include "frame.h"
#include "words.h"

namespace mcu_sim {

namespace {

using mcu_protocol::Bytes;

const std::vector<KeyInfo> kKeys = {
    // system, power, keys and clock
    {"ignition", KeyType::Number, nullptr, "1", "ignition state (MCU_MSG_RET_IGN_ON_OFF_STATUS)"},
    {"power.status", KeyType::Number, "POWER_STATUS_ID", "POWER_STATUS_ON", "power key state"},
    {"power.mode", KeyType::Number, "POWER_MODE_ID", "POWER_MODE_USER_ON", "power mode"},
    {"audio.power", KeyType::Number, "POWER_STATUS_ID", "POWER_STATUS_ON", "audio power"},
    {"engineer_mode", KeyType::Number, "ENGINEER_MODE_ID", "ENGINEER_MODE_EXIT", "engineer mode"},
    {"poweroff_timer_disp", KeyType::Number, "DISP_STATUS_ID", "DISP_STATUS_OFF", "power-off timer display"},
    {"screen_save_mode", KeyType::Number, nullptr, "0", "screen save mode"},
    {"heartbeat", KeyType::Number, "HEARTBEAT_COMMAD_SWITCH", "HEARTBEAT_OFF", "the application's heartbeat"},
    {"errors.fail_to_start_num", KeyType::Number, nullptr, "0", "error counter"},
    {"errors.heartbeat_timeout_num", KeyType::Number, nullptr, "0", "error counter"},
    {"errors.loss_of_sync_msg_num", KeyType::Number, nullptr, "0", "error counter"},
    {"errors.repeat_sync_msg_num", KeyType::Number, nullptr, "0", "error counter"},
    {"version.request_type", KeyType::Number, "VERSION_TYPE_ID", "VERSION_TYPE_HMI",
     "the version the MCU asks for on connect"},
    {"version.mb", KeyType::Number, nullptr, "258", "mainboard version"},
    {"version.checksum", KeyType::Number, nullptr, "4660", "mainboard checksum"},
    {"version.cd", KeyType::Text, nullptr, "CD001", "CD version, 5 characters"},
    {"version.panel", KeyType::Number, nullptr, "7", "panel version"},
    {"version.avm", KeyType::Number, nullptr, "256", "AVM version"},
    {"version.vin", KeyType::Text, nullptr, "VIN001", "AVM VIN, 6 characters"},
    {"app.version.hmi", KeyType::Text, nullptr, "", "the HMI version the application reported"},
    {"app.version.bt", KeyType::Text, nullptr, "", "the BT version the application reported"},
    {"rtc.mode", KeyType::Number, "RTC_MODE_ID", "RTC_MODE_24HOURS", "clock display mode"},
    {"rtc.time", KeyType::Clock, nullptr, "now", "the running clock"},
    {"button.duty", KeyType::Number, nullptr, "5", "button backlight duty, 0 to 10"},
    {"setup.params", KeyType::Bytes, nullptr, "0102030405060708", "setup parameter block"},
    // audio
    {"audio_source", KeyType::Number, "AUDIO_SOURCE_ID", "AUDIO_SOURCE_FM1", "current audio source"},
    {"audio.volume", KeyType::Number, nullptr, "15", "main volume, 0 to 40"},
    {"audio.bass", KeyType::Number, nullptr, "7", "setting AUDIO_SETTING_BAS"},
    {"audio.mid", KeyType::Number, nullptr, "7", "setting AUDIO_SETTING_MID"},
    {"audio.treble", KeyType::Number, nullptr, "7", "setting AUDIO_SETTING_TRE"},
    {"audio.balance", KeyType::Number, nullptr, "7", "setting AUDIO_SETTING_BAL"},
    {"audio.fader", KeyType::Number, nullptr, "7", "setting AUDIO_SETTING_FAD"},
    {"audio.eq", KeyType::Number, nullptr, "0", "setting AUDIO_SETTING_EQ"},
    {"audio.aux_gain", KeyType::Number, "AUDIO_AUX_GAIN_ID", "AUDIO_AUX_GAIN_MID", "AUX input gain"},
    {"audio.beep", KeyType::Number, "BEEP_STATUS_ID", "BEEP_STATUS_ON", "key beep"},
    {"audio.speed_volume", KeyType::Number, "AUDIO_SPEED_VOLUME_ID", "AUDIO_SPEED_VOLUME_LEVEL2",
     "speed-dependent volume"},
    {"audio.speed", KeyType::Number, nullptr, "0", "vehicle speed reported for the speed volume"},
    {"audio.main_answer", KeyType::Number, "MAIN_DRIVER_ANSWER_ID", "MAIN_DRIVER_ANSWER_STATUS_OFF",
     "main-driver answer status"},
    {"audio.aux_plug", KeyType::Number, nullptr, "0", "AUX plug status"},
    {"audio.bthfp_volume", KeyType::Number, nullptr, "10", "Bluetooth hands-free volume"},
    {"audio.smartphone_volume", KeyType::Number, nullptr, "12", "smartphone volume"},
    {"audio.flat", KeyType::Number, "AUDIO_FUNCTION_SWITCH", "FLAT_OFF", "flat function switch"},
    // radio tuner
    {"radio.band", KeyType::Number, "RADIO_BAND_ID", "RADIO_BAND_FM1", "tuner band"},
    {"radio.freq", KeyType::Number, nullptr, "9810", "tuner frequency (FM in 10 kHz, AM in kHz)"},
    {"radio.preset", KeyType::Number, nullptr, "3", "current preset number, 0 for none"},
    {"radio.status", KeyType::Number, "RADIO_STATUS_ID", "RADIO_STATUS_NORMAL", "tuner status"},
    {"radio.presets.FM1", KeyType::Numbers, nullptr, "8750,9010,9810,10110,10610,10800", "presets of FM1"},
    {"radio.presets.FM2", KeyType::Numbers, nullptr, "8750,9010,9810,10110,10610,10800", "presets of FM2"},
    {"radio.presets.FM3", KeyType::Numbers, nullptr, "8750,9010,9810,10110,10610,10800", "presets of FM3"},
    {"radio.presets.FM4", KeyType::Numbers, nullptr, "8750,9010,9810,10110,10610,10800", "presets of FM4"},
    {"radio.presets.AM1", KeyType::Numbers, nullptr, "531,603,999,1143,1404,1602", "presets of AM1"},
    {"radio.presets.AM2", KeyType::Numbers, nullptr, "531,603,999,1143,1404,1602", "presets of AM2"},
    {"radio.presets.AM3", KeyType::Numbers, nullptr, "531,603,999,1143,1404,1602", "presets of AM3"},
    {"radio.presets.AM4", KeyType::Numbers, nullptr, "531,603,999,1143,1404,1602", "presets of AM4"},
    {"radio.stations.fm", KeyType::Numbers, nullptr, "8750,9010,9460,9810,10110,10370,10610,10800",
     "receivable FM stations: seek stops here"},
    {"radio.stations.am", KeyType::Numbers, nullptr, "531,603,702,999,1143,1404,1602", "receivable AM stations"},
    {"radio.curband", KeyType::Number, "RADIO_CURBAND_INFO", "CMD_FM1", "current band of the station lists"},
    {"radio.collected", KeyType::Bytes, nullptr, "", "collected radio data"},
    {"radio.fm_parameters", KeyType::Bytes, nullptr, "0A141E28", "FM parameter block"},
    {"radio.am_parameters", KeyType::Bytes, nullptr, "050A0F", "AM parameter block"},
    // display, video, camera and Bluetooth
    {"bluetooth.type", KeyType::Number, "BLUETOOTH_TYPE_ID", "BLUETOOTH_TYPE_HFP", "last Bluetooth function"},
    {"bluetooth.status", KeyType::Number, "BLUETOOTH_STATUS_ID", "BLUETOOTH_STATUS_OFF", "its status"},
    {"video.source", KeyType::Number, "VIDEO_SOURCE_ID", "VIDEO_SOURCE_NAVI", "video source"},
    {"video.type", KeyType::Number, "VIDEO_TYPE_ID", "VIDEO_TYPE_720P", "video format"},
    {"tft.language", KeyType::Number, "LANGUAGE_ID", "LANGUAGE_ENGLISH", "display language"},
    {"tft.ill_mode", KeyType::Number, "ILL_MODE_ID", "ILL_MODE_AUTO", "illumination mode"},
    {"tft.backlight", KeyType::Number, "BACKLIGHT_STATUS_ID", "BACKLIGHT_STATUS_ON", "backlight"},
    {"tft.brightness", KeyType::Number, nullptr, "8", "brightness"},
    {"tft.contrast", KeyType::Number, nullptr, "8", "contrast"},
    {"tft.daynight", KeyType::Number, "DAYNIGHT_MODE", "DAY_MODE", "day or night"},
    {"tft.daynight_level", KeyType::Number, nullptr, "5", "brightness level of the current day/night mode"},
    {"avm.settings", KeyType::Bytes, nullptr, "01010100050505", "AVM settings, one byte per AVM_SETTING_TYPE_ID"},
    {"avm.data", KeyType::Bytes, nullptr, "", "AVM data block"},
    {"mhl.pop_type", KeyType::Number, "MHL_POP_TYPE_ID", "MHL_POP_TYPE_MIRROR_BOX", "MHL pop-up type"},
    {"mhl.signal", KeyType::Number, nullptr, "0", "MHL signal detection"},
    // vehicle bus and climate control
    {"can.host", KeyType::Bytes, nullptr, "", "last host CAN payload"},
    {"can.fcc", KeyType::Bytes, nullptr, "", "last FCC CAN payload"},
    {"can.rcc", KeyType::Bytes, nullptr, "", "last RCC CAN payload"},
    {"can.mcan", KeyType::Bytes, nullptr, "", "last MCAN payload"},
    {"autotest.data", KeyType::Bytes, nullptr, "", "autotest data block"},
    {"hvac.on", KeyType::Number, nullptr, "1", "climate control on"},
    {"hvac.ac", KeyType::Number, nullptr, "1", "A/C"},
    {"hvac.max_ac", KeyType::Number, nullptr, "0", "max A/C"},
    {"hvac.recirc", KeyType::Number, nullptr, "0", "recirculation"},
    {"hvac.fresh", KeyType::Number, nullptr, "1", "fresh air"},
    {"hvac.dual", KeyType::Number, nullptr, "0", "dual zone"},
    {"hvac.auto", KeyType::Number, nullptr, "1", "automatic climate (ACT)"},
    {"hvac.redefrost", KeyType::Number, nullptr, "0", "rear defrost"},
    {"hvac.defrost", KeyType::Number, nullptr, "0", "front defrost"},
    {"hvac.blower", KeyType::Number, nullptr, "3", "blower level, 0 to 15"},
    {"hvac.left_temp", KeyType::Number, nullptr, "16", "left temperature step, 0 to 31"},
    {"hvac.right_temp", KeyType::Number, nullptr, "16", "right temperature step, 0 to 31"},
    {"hvac.mode", KeyType::Number, "HVAC_MODE_ID", "HVAC_MODE_BLOW_FACE", "air distribution"},
    {"hvac.diag_status", KeyType::Number, "HVAC_DIAG_STATUS_ID", "HVAC_DIAG_STATUS_NON_EXECUTION",
     "diagnosis status"},
    {"hvac.diag_obj", KeyType::Number, "HVAC_DIAG_CTRL_OBJ_ID", "0", "object under diagnosis"},
    {"hvac.diag_fault", KeyType::Number, nullptr, "0", "fault number the diagnosis finds"},
    {"hvac.diag_key", KeyType::Number, "HVAC_DIAG_KEY_ID", "0x3FFFFF", "key map the key diagnosis reports"},
};

// Where each key goes on the wire: the message field that carries it.  A
// value must fit that field (its width, its bit field, its element count)
// and, for a key with an enumeration, be one of its members.  `follows`:
// the key takes the field's value when that message is sent (a preset list
// belongs to whichever band the message names, so it does not).
const KeyField kKeyFields[] = {
    {"power.status", "MCU_MSG_RET_POWER_KEY", "power_status", true},
    {"power.mode", "MCU_MSG_RET_POWER_KEY", "power_mode", true},
    {"engineer_mode", "MCU_MSG_SET_ENGINEER_MODE", "status", true},
    {"poweroff_timer_disp", "MCU_MSG_RET_POWEROFF_TIMER_DISP_STATUS", "status", true},
    {"screen_save_mode", "MCU_MSG_RET_SCREEN_SAVE_MODE", "mode", true},
    {"errors.fail_to_start_num", "MCU_MSG_RET_ALINE", "fail_to_start_num", true},
    {"errors.heartbeat_timeout_num", "MCU_MSG_RET_ALINE", "heartbeat_timeout_num", true},
    {"errors.loss_of_sync_msg_num", "MCU_MSG_RET_ALINE", "loss_of_sync_msg_num", true},
    {"errors.repeat_sync_msg_num", "MCU_MSG_RET_ALINE", "repeat_sync_msg_num", true},
    {"version.request_type", "MCU_MSG_GET_VERSION_INFO", "type", false},
    {"version.mb", "MCU_MSG_RET_MB_VERSION", "MB_version", true},
    {"version.checksum", "MCU_MSG_RET_MB_VERSION", "MB_checksum", true},
    {"version.cd", "MCU_MSG_RET_MB_VERSION", "CD_version", true},
    {"version.panel", "MCU_MSG_RET_MB_VERSION", "Panel_version", true},
    {"version.avm", "MCU_MSG_RET_MB_VERSION", "AVM_version", true},
    {"version.vin", "MCU_MSG_RET_MB_VERSION", "AVM_Vin", true},
    {"audio.power", "MCU_MSG_RET_CUR_AUDIO_POWER_STATUS", "power_status", true},
    {"power.mode", "MCU_MSG_RET_CUR_AUDIO_POWER_STATUS", "power_mode", true},
    {"button.duty", "MCU_MSG_RET_BUTTON_LIGHT_PWM", "duty", true},
    {"ignition", "MCU_MSG_RET_IGN_ON_OFF_STATUS", "ignition", true},
    {"rtc.mode", "MCU_MSG_RET_RTC_CLOCK_INFO", "rtc_mode", true},
    {"setup.params", "MCU_MSG_RET_SETUP_PARAM_INFO", "param_info", true},
    {"audio_source", "MCU_MSG_RET_CUR_AUDIO_SOURCE", "audio_source", true},
    {"audio.aux_gain", "MCU_MSG_RET_AUDIO_AUX_GAIN_MODE", "level", true},
    {"audio.beep", "MCU_MSG_RET_AUDIO_BEEP_STATUS", "status", true},
    {"audio.speed_volume", "MCU_MSG_RET_AUDIO_SPEED_VOLUME_MODE", "level", true},
    {"audio.speed", "MCU_MSG_RET_AUDIO_SPEED", "speed", true},
    {"audio.main_answer", "MCU_MSG_RET_MAIN_ANSWER_STATUS", "status", true},
    {"audio.aux_plug", "MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS", "status", true},
    {"audio.volume", "MCU_MSG_RET_AUDIO_VOLUME_INFO", "volume_values", true},
    {"audio.flat", "MCU_MSG_RET_ARKAMYS_FUNC_SW", "status", true},
    {"radio.band", "MCU_MSG_RET_RADIO_NOTIFY", "band", true},
    {"radio.preset", "MCU_MSG_RET_RADIO_NOTIFY", "preset_num", true},
    {"radio.status", "MCU_MSG_RET_RADIO_NOTIFY", "status", true},
    {"radio.freq", "MCU_MSG_RET_RADIO_NOTIFY", "cur_freq", true},
    {"radio.presets.FM1", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.FM2", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.FM3", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.FM4", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.AM1", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.AM2", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.AM3", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.presets.AM4", "MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq", false},
    {"radio.stations.fm", "MCU_MSG_RET_RADIO_STATION_LIST_INFO", "station_freq", false},
    {"radio.stations.am", "MCU_MSG_RET_RADIO_STATION_LIST_INFO", "station_freq", false},
    {"radio.curband", "MCU_MSG_RET_RADIO_STATION_LIST_INFO", "band_type", true},
    {"radio.collected", "MCU_MSG_RET_RADIO_COLLECTED_INFO", "content", true},
    {"radio.fm_parameters", "MCU_MSG_RET_RADIO_FM_PARAMETER_INFO", "parameters", true},
    {"radio.am_parameters", "MCU_MSG_RET_RADIO_AM_PARAMETER_INFO", "parameters", true},
    {"bluetooth.type", "MCU_MSG_RET_BLUETOOTH_STATUS", "type", true},
    {"bluetooth.status", "MCU_MSG_RET_BLUETOOTH_STATUS", "status", true},
    {"video.source", "MCU_MSG_RET_TFT_VIDEO_SOURCE", "video_source", true},
    {"video.type", "MCU_MSG_RET_TFT_VIDEO_SOURCE", "video_type", true},
    {"tft.language", "MCU_MSG_RET_TFT_LANGUAGE", "language", true},
    {"tft.ill_mode", "MCU_MSG_RET_TFT_ILL_MODE", "mode", true},
    {"tft.backlight", "MCU_MSG_RET_TFT_BACKLIGHT_STATUS", "status", true},
    {"tft.brightness", "MCU_MSG_RET_TFT_BRIGHTNESS_STATUS", "brightness", true},
    {"tft.contrast", "MCU_MSG_RET_TFT_CONTRAST_STATUS", "contrast", true},
    {"tft.daynight", "MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO", "daynight_mode", true},
    {"tft.daynight_level", "MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO", "brightness_level", true},
    {"tft.ill_mode", "MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO", "ILL_mode", true},
    {"avm.settings", "MCU_MSG_RET_AVM_SETTING_INFO", "settings", true},
    {"avm.data", "MCU_MSG_RET_AVM_DATA_INFO", "content", true},
    {"mhl.signal", "MCU_MSG_RET_MHL_SIGNAL_DET", "signal", true},
    {"can.host", "MCU_MSG_RET_ENHOST_CAN", "data", true},
    {"can.fcc", "MCU_MSG_RET_FCC_CAN", "data", true},
    {"can.rcc", "MCU_MSG_RET_RCC_CAN", "data", true},
    {"can.mcan", "MCU_MSG_RET_MCAN_INFO", "data", true},
    {"autotest.data", "MCU_MSG_RET_AUTOTEST_DATA_INFO", "data", true},
    {"hvac.on", "MCU_MSG_RET_HVAC_INFO", "display_on_off", true},
    {"hvac.ac", "MCU_MSG_RET_HVAC_INFO", "AC_on_off", true},
    {"hvac.max_ac", "MCU_MSG_RET_HVAC_INFO", "maxAC_on_off", true},
    {"hvac.recirc", "MCU_MSG_RET_HVAC_INFO", "recirc_on_off", true},
    {"hvac.fresh", "MCU_MSG_RET_HVAC_INFO", "fresh_on_off", true},
    {"hvac.dual", "MCU_MSG_RET_HVAC_INFO", "dual_on_off", true},
    {"hvac.auto", "MCU_MSG_RET_HVAC_INFO", "ACT_on_off", true},
    {"hvac.redefrost", "MCU_MSG_RET_HVAC_INFO", "redefrost_on_off", true},
    {"hvac.defrost", "MCU_MSG_RET_HVAC_INFO", "defrost_on_off", true},
    {"hvac.blower", "MCU_MSG_RET_HVAC_INFO", "blower_level", true},
    {"hvac.left_temp", "MCU_MSG_RET_HVAC_INFO", "left_temp", true},
    {"hvac.right_temp", "MCU_MSG_RET_HVAC_INFO", "right_temp", true},
    {"hvac.mode", "MCU_MSG_RET_HVAC_INFO", "hvac_mode", true},
    {"hvac.diag_status", "MCU_MSG_RET_HVAC_DIAG_INFO", "status", true},
    {"hvac.diag_obj", "MCU_MSG_RET_HVAC_DIAG_INFO", "obj", true},
};

// What a value of `key` may be, from the fields that carry it.
struct Limits {
    uint32_t max_number = 0xFFFFFFFFu;  // Number keys, and each element of Numbers
    std::size_t max_count = 255;        // elements of Numbers, bytes of Bytes and Text
    std::string where;                  // "blower_level of MCU_MSG_RET_HVAC_INFO"
};

Limits limits_of(const std::string &key) {
    Limits l;
    for (const KeyField &kf : kKeyFields) {
        if (key != kf.key) continue;
        const mcu_protocol::Message *m = mcu_protocol::find_message(kf.message);
        if (!m) continue;
        std::size_t count = 0;
        const mcu_protocol::Field *field = nullptr;
        for (const mcu_protocol::Layout &layout : m->layouts) {
            const mcu_protocol::Field *f = mcu_protocol::find_field(layout, kf.field);
            if (!f) continue;
            field = f;
            std::size_t n = f->count == mcu_protocol::Count::Fixed
                                ? f->count_value
                                : (mcu_protocol::kMaxPayload - f->pos) / (f->kind == mcu_protocol::Kind::Numbers ? f->width : 1u);
            if (f->limit && f->kind != mcu_protocol::Kind::Number) n = std::min<std::size_t>(n, f->limit);
            count = std::max(count, n);
        }
        if (!field) continue;
        const unsigned bits = field->bits ? field->bits : 8u * field->width;
        const uint32_t max = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
        if (field->kind == mcu_protocol::Kind::Number || field->kind == mcu_protocol::Kind::Numbers)
            l.max_number = std::min(l.max_number, max);
        if (field->kind != mcu_protocol::Kind::Number) l.max_count = std::min(l.max_count, count);
        if (l.where.empty()) l.where = std::string(kf.field) + " of " + kf.message;
    }
    return l;
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string join(const std::vector<uint32_t> &v) {
    std::string s;
    for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

// A Number, Numbers or Bytes value read through the same rules as a
// payload field.
bool parse_through_field(const KeyInfo &info, mcu_protocol::Kind kind, const std::string &text,
                         mcu_protocol::Value *v, std::string *error) {
    mcu_protocol::Field f;
    f.name = info.key;
    f.kind = kind;
    f.width = 4;
    if (info.enumeration) f.enumeration = mcu_protocol::find_enumeration(info.enumeration);
    return mcu_protocol::parse_value(f, text, v, error);
}

}  // namespace

const std::vector<KeyField> &key_fields() {
    static const std::vector<KeyField> rows(std::begin(kKeyFields), std::end(kKeyFields));
    return rows;
}

State::State() : now_ms_(steady_ms) {
    for (const KeyInfo &k : kKeys) {
        Entry &e = entries_[k.key];
        e.info = &k;
        std::string error;
        if (!set(k.key, k.initial, &error)) {
            std::fprintf(stderr, "mcu-agent-sim: bad default of %s: %s\n", k.key, error.c_str());
            std::abort();
        }
    }
}

const std::vector<KeyInfo> &State::keys() { return kKeys; }

State::Entry &State::entry(const std::string &key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        std::fprintf(stderr, "mcu-agent-sim: no state key %s\n", key.c_str());
        std::abort();
    }
    return it->second;
}

const State::Entry &State::entry(const std::string &key) const { return const_cast<State *>(this)->entry(key); }

bool State::set(const std::string &key, const std::string &text, std::string *error) {
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        *error = "no state key " + key;
        return false;
    }
    Entry &e = it->second;
    mcu_protocol::Value v;
    const Limits limits = limits_of(key);
    const std::string where = limits.where.empty() ? "" : " (" + limits.where + ")";
    auto too_big = [&](uint32_t n) {
        if (n <= limits.max_number) return false;
        *error = key + ": " + std::to_string(n) + " is out of range: 0 to " + std::to_string(limits.max_number) + where;
        return true;
    };
    auto too_long = [&](std::size_t n, const char *unit) {
        if (n <= limits.max_count) return false;
        *error = key + ": " + std::to_string(n) + " " + unit + ", at most " + std::to_string(limits.max_count) + where;
        return true;
    };
    switch (e.info->type) {
        case KeyType::Number: {
            if (!parse_through_field(*e.info, mcu_protocol::Kind::Number, text, &v, error)) return false;
            const mcu_protocol::Enumeration *en =
                e.info->enumeration ? mcu_protocol::find_enumeration(e.info->enumeration) : nullptr;
            // The built-in default may stand outside the enumeration: 0 for
            // "none" where the enumeration has no such member.
            mcu_protocol::Value initial;
            const bool is_default = text == e.info->initial ||
                                    (parse_through_field(*e.info, mcu_protocol::Kind::Number, e.info->initial,
                                                         &initial, error) &&
                                     initial.number == v.number);
            if (en && !is_default && mcu_protocol::enum_name(*en, v.number).empty()) {
                *error = key + ": " + text + " is not a member of " + en->name + ":";
                for (const mcu_protocol::EnumValue &m : en->values) *error += std::string(" ") + m.name;
                return false;
            }
            if (too_big(v.number)) return false;
            e.number = v.number;
            return true;
        }
        case KeyType::Numbers:
            if (!parse_through_field(*e.info, mcu_protocol::Kind::Numbers, text, &v, error)) return false;
            if (too_long(v.numbers.size(), "numbers")) return false;
            for (uint32_t n : v.numbers)
                if (too_big(n)) return false;
            e.numbers = v.numbers;
            return true;
        case KeyType::Bytes:
            if (!parse_through_field(*e.info, mcu_protocol::Kind::Bytes, text, &v, error)) return false;
            if (too_long(v.bytes.size(), "bytes")) return false;
            e.bytes = v.bytes;
            return true;
        case KeyType::Text:
            if (too_long(text.size(), "characters")) return false;
            e.bytes.assign(text.begin(), text.end());
            return true;
        case KeyType::Clock: {
            int64_t seconds = 0;
            if (text == "now") {
                seconds = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
            } else if (!parse_clock(text, &seconds)) {
                *error = key + ": not YYYY-MM-DD HH:MM:SS: " + text;
                return false;
            }
            set_clock(seconds);
            return true;
        }
    }
    return false;
}

bool State::get(const std::string &key, std::string *text) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    const Entry &e = it->second;
    switch (e.info->type) {
        case KeyType::Number: {
            const mcu_protocol::Enumeration *en =
                e.info->enumeration ? mcu_protocol::find_enumeration(e.info->enumeration) : nullptr;
            const std::string name = en ? mcu_protocol::enum_name(*en, e.number) : "";
            *text = name.empty() ? std::to_string(e.number) : name;
            return true;
        }
        case KeyType::Numbers: *text = join(e.numbers); return true;
        case KeyType::Bytes: *text = mcu_protocol::hex(e.bytes); return true;
        case KeyType::Text: text->assign(e.bytes.begin(), e.bytes.end()); return true;
        case KeyType::Clock: *text = format_clock(clock()); return true;
    }
    return false;
}

uint32_t State::number(const std::string &key) const { return entry(key).number; }
void State::set_number(const std::string &key, uint32_t value) { entry(key).number = value; }
const std::vector<uint32_t> &State::numbers(const std::string &key) const { return entry(key).numbers; }
void State::set_numbers(const std::string &key, std::vector<uint32_t> values) { entry(key).numbers = std::move(values); }
const std::vector<uint8_t> &State::bytes(const std::string &key) const { return entry(key).bytes; }
void State::set_bytes(const std::string &key, std::vector<uint8_t> values) { entry(key).bytes = std::move(values); }

int64_t State::clock() const {
    const Entry &e = entry("rtc.time");
    return e.clock_seconds + (now_ms_() - e.clock_set_ms) / 1000;
}

void State::set_clock(int64_t seconds) {
    Entry &e = entry("rtc.time");
    e.clock_seconds = seconds;
    e.clock_set_ms = now_ms_();
}

void State::set_time_source(std::function<int64_t()> now_ms) {
    const int64_t running = clock();
    now_ms_ = std::move(now_ms);
    set_clock(running);
}

bool State::load_member(const std::string &key, const nlohmann::ordered_json &value, std::string *error) {
    using Json = nlohmann::ordered_json;
    auto it = entries_.find(key);
    if (value.is_object()) {
        if (it != entries_.end()) {
            *error = key + ": takes a value, not an object";
            return false;
        }
        for (const auto &member : value.items())
            if (!load_member(key.empty() ? member.key() : key + "." + member.key(), member.value(), error))
                return false;
        return true;
    }
    if (it == entries_.end()) {
        *error = "no state key " + key + " (--print-state lists them)";
        return false;
    }
    const KeyType type = it->second.info->type;
    auto text_of = [&](const Json &v, std::string *out) {
        if (v.is_string()) {
            *out = v.get<std::string>();
        } else if (v.is_number_unsigned() || v.is_number_integer()) {
            *out = v.dump();
        } else if (v.is_boolean()) {
            *out = v.get<bool>() ? "1" : "0";
        } else {
            *error = key + ": " + v.dump() + " is not a " +
                     (type == KeyType::Number ? "whole number or an enumeration name" : "value of this key");
            return false;
        }
        return true;
    };
    if (value.is_array()) {
        if (type != KeyType::Numbers && type != KeyType::Bytes) {
            *error = key + ": takes one value, not a list";
            return false;
        }
        std::string list;
        mcu_protocol::Bytes bytes;
        for (const Json &item : value) {
            std::string t;
            if (!item.is_number_unsigned() || !text_of(item, &t)) {
                *error = key + ": a list holds whole numbers from 0, not " + item.dump();
                return false;
            }
            if (type == KeyType::Bytes) {
                if (item.get<uint64_t>() > 255) {
                    *error = key + ": bytes are 0 to 255, not " + t;
                    return false;
                }
                bytes.push_back(static_cast<uint8_t>(item.get<uint64_t>()));
            }
            list += (list.empty() ? "" : ",") + t;
        }
        return set(key, type == KeyType::Bytes ? mcu_protocol::hex(bytes) : list, error);
    }
    std::string text;
    if (value.is_null()) {
        *error = key + ": null is not a value";
        return false;
    }
    return text_of(value, &text) && set(key, text, error);
}

bool State::load_json(const std::string &text, std::string *error) {
    nlohmann::ordered_json doc;
    try {
        doc = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        *error = e.what();
        return false;
    }
    if (!doc.is_object()) {
        *error = "the state file holds one object";
        return false;
    }
    return load_member("", doc, error);
}

std::string State::to_json() const {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    for (const KeyInfo &k : kKeys) {
        nlohmann::ordered_json *node = &doc;
        std::string key = k.key;
        for (std::size_t dot; (dot = key.find('.')) != std::string::npos; key.erase(0, dot + 1))
            node = &(*node)[key.substr(0, dot)];
        const Entry &e = entry(k.key);
        std::string text;
        get(k.key, &text);
        switch (k.type) {
            case KeyType::Number:
                if (k.enumeration)
                    (*node)[key] = text;
                else
                    (*node)[key] = e.number;
                break;
            case KeyType::Numbers: (*node)[key] = e.numbers; break;
            case KeyType::Bytes:
            case KeyType::Text:
            case KeyType::Clock: (*node)[key] = text; break;
        }
    }
    return doc.dump(2) + "\n";
}

std::string format_clock(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool parse_clock(const std::string &text, int64_t *seconds) {
    int y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
    if (y < 1970 || y > 65535 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || h < 0 ||
        mi < 0 || s < 0)
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const std::time_t t = timegm(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    // 31 February and the like roll over in timegm; refuse them.
    std::tm back{};
    gmtime_r(&t, &back);
    if (back.tm_mday != d || back.tm_mon != mo - 1) return false;
    *seconds = t;
    return true;
}

}  // namespace mcu_sim
