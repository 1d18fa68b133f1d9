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
    return send_request_frame(static_cast<uint8_t>(mcu_cmd_id), reinterpret_cast<char *>(frame.data()), size);
}

int refuse_request(const char *line) {
    log_line(kLogWarning, "%s\n", line);
    return 0;
}

}  // namespace mcu_agent

using namespace mcu_agent;

namespace {

// Designated initialisers: the compiler ties each function to its slot by
// name (and, with GCC, checks the order against MCU_AGENT_API), so the
// slot order is written once, in the public header.  set_gps_clock and
// get_gps_clock are NULL: the library sends no GPS clock command.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wc++20-designator"
#endif
#define SLOT(name) .name = McuAgent_##name
MCU_AGENT_API g_mcu_agent_api = {
    SLOT(hmi_startup),
    SLOT(navi_startup),
    SLOT(get_sync_info),
    SLOT(get_mainboard_version_info),
    SLOT(set_hard_key),
    SLOT(set_touch),
    SLOT(set_engineer_mode),
    SLOT(beep_tone),
    SLOT(poweroff_timer_disp),
    SLOT(set_screen_save_mode),
    SLOT(send_alive),
    SLOT(send_version_info),
    SLOT(set_audio_power),
    SLOT(get_audio_power),
    SLOT(set_rtc_mode),
    SLOT(set_rct_clock),
    SLOT(get_rct_clock),
    .set_gps_clock = nullptr,
    .get_gps_clock = nullptr,
    SLOT(set_button_backlight_duty_cycle),
    SLOT(set_usb_power),
    SLOT(set_setup_param_info),
    SLOT(get_setup_param_info),
    SLOT(set_audio_source),
    SLOT(get_audio_source),
    SLOT(set_audio_setting_info),
    SLOT(get_audio_setting_info),
    SLOT(set_audio_aux_gain),
    SLOT(get_audio_aux_gain),
    SLOT(set_audio_beep),
    SLOT(get_audio_beep),
    SLOT(set_audio_speed_volume),
    SLOT(get_audio_speed_volume),
    SLOT(get_audio_speed),
    SLOT(set_audio_navi_mix_status),
    SLOT(set_main_driver_answer_status),
    SLOT(get_main_driver_answer_status),
    SLOT(get_aux_plug_status),
    SLOT(set_adjust_volume),
    SLOT(set_absolutely_volume),
    SLOT(set_audio_function_switch),
    SLOT(get_audio_function_switch),
    SLOT(set_radio_freq),
    SLOT(set_radio_seek_up),
    SLOT(set_radio_seek_down),
    SLOT(set_radio_manual_up),
    SLOT(set_radio_manual_down),
    SLOT(set_radio_ctrl),
    SLOT(call_radio_preset_num),
    SLOT(save_radio_preset_num),
    SLOT(change_radio_band),
    SLOT(radio_fastseek_up),
    SLOT(radio_fastseek_down),
    SLOT(save_radio_collected_info),
    SLOT(radio_list_update),
    SLOT(get_radio_notify),
    SLOT(get_radio_preset_info),
    SLOT(set_radio_band_change_info),
    SLOT(set_radio_stop_conditions_info),
    SLOT(set_radio_diagnose_info),
    SLOT(set_radio_curband_info),
    SLOT(get_ign_on_off_status),
    SLOT(set_coreboard_resume_info),
    SLOT(get_coreboard_resume_info),
    SLOT(send_player_play_skip_status),
    SLOT(send_bluetooth_status),
    SLOT(set_video_source),
    SLOT(get_video_source),
    SLOT(set_language),
    SLOT(get_language),
    SLOT(set_ILL_mode),
    SLOT(get_ILL_mode),
    SLOT(set_backlight_status),
    SLOT(get_backlight_status),
    SLOT(set_brightness),
    SLOT(get_brightness),
    SLOT(set_contrast),
    SLOT(get_contrast),
    SLOT(set_TFT_daynight_mode_info),
    SLOT(send_AVM_setting_menu_exit),
    SLOT(set_AVM_setting_info),
    SLOT(get_AVM_setting_info),
    SLOT(set_AVM_default_setting),
    SLOT(set_MHL_pop_type),
    SLOT(update_mainboard_firmware),
    SLOT(set_coreboard_restart),
    SLOT(set_mainboard_default_setting),
    SLOT(set_record_play_state),
    SLOT(set_speaker_diag),
    SLOT(save_avm_data_info),
    SLOT(send_mcan_info),
    SLOT(send_host_can),
    SLOT(send_fcc_can),
    SLOT(send_rcc_can),
    SLOT(get_can_info),
    SLOT(send_hvac_status),
    SLOT(send_hvac_diag_entry),
    SLOT(send_hvac_diag_read_status),
    SLOT(send_hvac_diag_exit),
    SLOT(send_hvac_diag_unit_test_mode),
};
#undef SLOT
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

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
        if (frame_awaited(frame.id())) return -1;
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

void McuAgent_set_reconnect_max_interval(int milliseconds) { set_reconnect_max_interval(milliseconds); }

void McuAgent_set_trusted_agent(long uid, long gid) { set_trusted_agent(uid, gid); }

void McuAgent_set_inbound_checksum(int verify) { g_verify_inbound_checksum.store(verify != 0); }

}  // extern "C"
