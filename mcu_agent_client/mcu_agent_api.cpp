// mcu_agent_api.cpp - the agent core: the frame sender, the entry point,
// the API table and the decode-and-dispatch step.
#include "mcu_agent_api.h"

#include <stdio.h>

#include <array>
#include <atomic>

#include "client.h"
#include "internal.h"
#include "link.h"
#include "log.h"
#include "wire.h"

namespace mcu_agent {

extern std::atomic<bool> g_verify_inbound_checksum;

namespace {

constexpr int kWideChecksumFrom = 32;  // payload bytes

// The application's registration table; read afresh for every message.
// Replaced by a later McuAgent_client_init while the packet-handle thread
// may be reading it, hence atomic.
std::atomic<MCU_MSG_HANDLE_REGISTER *> g_mcu_msg_handle{nullptr};

// Finds the row that handles `id`.  A null table is an empty one, rows
// without a handler are skipped, and the scan gives up after 256 rows when
// the end row is missing.  Returns null when no row matches.
MCU_MSG_HANDLE_REGISTER *find_row(MCU_MSG_HANDLE_REGISTER *table, uint32_t id) {
    if (!table) return nullptr;
    for (int i = 0; i < 256; ++i) {
        MCU_MSG_HANDLE_REGISTER *row = &table[i];
        if (row->mcu_msg_id == MCU_MSG_MAX_ID) return nullptr;
        if (static_cast<uint32_t>(row->mcu_msg_id) == id && row->mcu_msg_callback) return row;
    }
    return nullptr;
}

}  // namespace

int packet_fill_send(uint32_t mcu_cmd_id, const uint8_t *data, uint8_t length) {
    // The frame lives on the stack: sending allocates nothing.
    std::array<uint8_t, wire::kMaxFrame> frame;
    if (!data) length = 0;
    const int size = wire::encode(wire::kOutboundLead0, wire::kOutboundLead1, static_cast<uint8_t>(mcu_cmd_id), data,
                                  length, frame.data());
    return socket_send(reinterpret_cast<char *>(frame.data()), size);
}

int refuse_request(const char *line) {
    log_line(kLogWarning, "%s\n", line);
    return 0;
}

}  // namespace mcu_agent

using namespace mcu_agent;

namespace {

MCU_AGENT_API g_mcu_agent_api = {
    /* 0 */ McuAgent_hmi_startup,
    /* 1 */ McuAgent_navi_startup,
    /* 2 */ McuAgent_get_sync_info,
    /* 3 */ McuAgent_get_mainboard_version_info,
    /* 4 */ McuAgent_set_hard_key,
    /* 5 */ McuAgent_set_touch,
    /* 6 */ McuAgent_set_engineer_mode,
    /* 7 */ McuAgent_beep_tone,
    /* 8 */ McuAgent_poweroff_timer_disp,
    /* 9 */ McuAgent_set_screen_save_mode,
    /* 10 */ McuAgent_send_alive,
    /* 11 */ McuAgent_send_version_info,
    /* 12 */ McuAgent_set_audio_power,
    /* 13 */ McuAgent_get_audio_power,
    /* 14 */ McuAgent_set_rtc_mode,
    /* 15 */ McuAgent_set_rct_clock,
    /* 16 */ McuAgent_get_rct_clock,
    /* 17 */ nullptr,  // set_gps_clock: the library sends no GPS clock command
    /* 18 */ nullptr,  // get_gps_clock
    /* 19 */ McuAgent_set_button_backlight_duty_cycle,
    /* 20 */ McuAgent_set_usb_power,
    /* 21 */ McuAgent_set_setup_param_info,
    /* 22 */ McuAgent_get_setup_param_info,
    /* 23 */ McuAgent_set_audio_source,
    /* 24 */ McuAgent_get_audio_source,
    /* 25 */ McuAgent_set_audio_setting_info,
    /* 26 */ McuAgent_get_audio_setting_info,
    /* 27 */ McuAgent_set_audio_aux_gain,
    /* 28 */ McuAgent_get_audio_aux_gain,
    /* 29 */ McuAgent_set_audio_beep,
    /* 30 */ McuAgent_get_audio_beep,
    /* 31 */ McuAgent_set_audio_speed_volume,
    /* 32 */ McuAgent_get_audio_speed_volume,
    /* 33 */ McuAgent_get_audio_speed,
    /* 34 */ McuAgent_set_audio_navi_mix_status,
    /* 35 */ McuAgent_set_main_driver_answer_status,
    /* 36 */ McuAgent_get_main_driver_answer_status,
    /* 37 */ McuAgent_get_aux_plug_status,
    /* 38 */ McuAgent_set_adjust_volume,
    /* 39 */ McuAgent_set_absolutely_volume,
    /* 40 */ McuAgent_set_audio_function_switch,
    /* 41 */ McuAgent_get_audio_function_switch,
    /* 42 */ McuAgent_set_radio_freq,
    /* 43 */ McuAgent_set_radio_seek_up,
    /* 44 */ McuAgent_set_radio_seek_down,
    /* 45 */ McuAgent_set_radio_manual_up,
    /* 46 */ McuAgent_set_radio_manual_down,
    /* 47 */ McuAgent_set_radio_ctrl,
    /* 48 */ McuAgent_call_radio_preset_num,
    /* 49 */ McuAgent_save_radio_preset_num,
    /* 50 */ McuAgent_change_radio_band,
    /* 51 */ McuAgent_radio_fastseek_up,
    /* 52 */ McuAgent_radio_fastseek_down,
    /* 53 */ McuAgent_save_radio_collected_info,
    /* 54 */ McuAgent_radio_list_update,
    /* 55 */ McuAgent_get_radio_notify,
    /* 56 */ McuAgent_get_radio_preset_info,
    /* 57 */ McuAgent_set_radio_band_change_info,
    /* 58 */ McuAgent_set_radio_stop_conditions_info,
    /* 59 */ McuAgent_set_radio_diagnose_info,
    /* 60 */ McuAgent_set_radio_curband_info,
    /* 61 */ McuAgent_get_ign_on_off_status,
    /* 62 */ McuAgent_set_coreboard_resume_info,
    /* 63 */ McuAgent_get_coreboard_resume_info,
    /* 64 */ McuAgent_send_player_play_skip_status,
    /* 65 */ McuAgent_send_bluetooth_status,
    /* 66 */ McuAgent_set_video_source,
    /* 67 */ McuAgent_get_video_source,
    /* 68 */ McuAgent_set_language,
    /* 69 */ McuAgent_get_language,
    /* 70 */ McuAgent_set_ILL_mode,
    /* 71 */ McuAgent_get_ILL_mode,
    /* 72 */ McuAgent_set_backlight_status,
    /* 73 */ McuAgent_get_backlight_status,
    /* 74 */ McuAgent_set_brightness,
    /* 75 */ McuAgent_get_brightness,
    /* 76 */ McuAgent_set_contrast,
    /* 77 */ McuAgent_get_contrast,
    /* 78 */ McuAgent_set_TFT_daynight_mode_info,
    /* 79 */ McuAgent_send_AVM_setting_menu_exit,
    /* 80 */ McuAgent_set_AVM_setting_info,
    /* 81 */ McuAgent_get_AVM_setting_info,
    /* 82 */ McuAgent_set_AVM_default_setting,
    /* 83 */ McuAgent_set_MHL_pop_type,
    /* 84 */ McuAgent_update_mainboard_firmware,
    /* 85 */ McuAgent_set_coreboard_restart,
    /* 86 */ McuAgent_set_mainboard_default_setting,
    /* 87 */ McuAgent_set_record_play_state,
    /* 88 */ McuAgent_set_speaker_diag,
    /* 89 */ McuAgent_save_avm_data_info,
    /* 90 */ McuAgent_send_mcan_info,
    /* 91 */ McuAgent_send_host_can,
    /* 92 */ McuAgent_send_fcc_can,
    /* 93 */ McuAgent_send_rcc_can,
    /* 94 */ McuAgent_get_can_info,
    /* 95 */ McuAgent_send_hvac_status,
    /* 96 */ McuAgent_send_hvac_diag_entry,
    /* 97 */ McuAgent_send_hvac_diag_read_status,
    /* 98 */ McuAgent_send_hvac_diag_exit,
    /* 99 */ McuAgent_send_hvac_diag_unit_test_mode,
};

static_assert(sizeof(MCU_AGENT_API) == 100 * sizeof(void (*)(void)), "MCU_AGENT_API has 100 slots");

}  // namespace

extern "C" {

MCU_AGENT_API *McuAgent_client_init(MCU_MSG_HANDLE_REGISTER *mcu_msg_handle_register) {
    // Stored before connecting so that no frame is dispatched without it.
    g_mcu_msg_handle.store(mcu_msg_handle_register);
    if (socket_client_init(McuAgent_receive_packet_handle) <= 0) {
        log_line(kLogError, "fail\n");
        return nullptr;
    }
    log_line(kLogInfo, "success\n");
    return &g_mcu_agent_api;
}

MCU_AGENT_API *McuAgent_get_api_handle(void) { return &g_mcu_agent_api; }

int McuAgent_receive_packet_handle(int socket_fd, void *msg, int size) {
    (void)socket_fd;
    (void)size;
    static const char kName[] = "McuAgent_receive_packet_handle";
    if (!msg) {
        log_line(kLogError, "%s : msg is null.\n", kName);
        return -1;
    }
    // The record lives in this call: a handler may call this function
    // again (it is exported) without overwriting the record it reads.
    PACKET_MSG packet;
    std::memset(&packet, 0, sizeof packet);
    const Frame frame{static_cast<const uint8_t *>(msg)};
    packet.mcu_msg_id = static_cast<MCU_MSG_ID>(frame.id());
    packet.size = frame.length();
    if (!decode_frame(frame, &packet)) {
        log_line(kLogWarning, "%s : MCU_MSG_ID[0x%02X] ERROR.\n", kName, frame.id());
    }
    MCU_MSG_HANDLE_REGISTER *row = find_row(g_mcu_msg_handle.load(), frame.id());
    if (row) row->mcu_msg_callback(&packet);
    // The row is read once more after the handler: a handler that retires
    // its own row (sets its id to MCU_MSG_MAX_ID) counts as unregistered.
    if (!row || row->mcu_msg_id == MCU_MSG_MAX_ID) {
        log_line(kLogWarning, "%s : MCU_MSG_ID[0x%02X] no registration handle.\n", kName,
                 static_cast<unsigned>(packet.mcu_msg_id));
        return -1;
    }
    return 0;
}

void McuAgent_set_connection_handler(void (*handler)(int connected, void *user), void *user) {
    set_connection_handler(handler, user);
}

void McuAgent_set_reconnect_interval(int milliseconds) { set_reconnect_interval(milliseconds); }

void McuAgent_set_inbound_checksum(int verify) { g_verify_inbound_checksum.store(verify != 0); }

}  // extern "C"
