// radio.cpp - what the virtual MCU's tuner does: tuning, seeking,
// stepping, presets, bands, station lists and the diagnosis blocks.
#include "behaviour.h"

namespace mcu_sim {

namespace {

const char *const kBandNames[] = {"FM1", "FM2", "FM3", "FM4", "AM1", "AM2", "AM3", "AM4"};
struct BandRange {
    uint32_t low, high, step;
};
constexpr BandRange kFm = {8750, 10800, 10};  // 87.50 to 108.00 MHz in 10 kHz
constexpr BandRange kAm = {531, 1602, 9};     // kHz

}  // namespace

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

}  // namespace mcu_sim
