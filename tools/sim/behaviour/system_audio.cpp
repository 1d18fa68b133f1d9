// system_audio.cpp - what the virtual MCU does with the system and audio
// commands: version reports, the clock, the button backlight, setup and
// resume data, default settings, audio settings and volumes.
#include "behaviour.h"

namespace mcu_sim {

namespace {

std::string text_of(const std::vector<uint8_t> &b) { return std::string(b.begin(), b.end()); }

}  // namespace

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
    const mcu_protocol::NumberRule range = State::rule("button.duty");
    set_key(r, "button.duty",
            clamp(duty + (number_of(args, "value") == BUTTON_ADD ? 1 : -1), range.lowest(), range.highest()));
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
    const mcu_protocol::NumberRule range = State::rule("audio.volume");
    set_key(r, "audio.volume",
            clamp(v + (number_of(args, "status") == ADJUST_VOLUME_UP ? 1 : -1), range.lowest(), range.highest()));
    report(r, "MCU_MSG_RET_AUDIO_VOLUME_INFO");
}

void VirtualMcu::absolute_volume(const Layout &, const Values &args, Reaction &r) {
    const uint32_t which = number_of(args, "absolutely_volume");
    const uint32_t value = number_of(args, "value");  // checked against the key's range by set_key
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

}  // namespace mcu_sim
