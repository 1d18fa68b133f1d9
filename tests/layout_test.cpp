// layout_test.cpp - the value records of the public header have the layout
// of the 32-bit target on every host that builds the library.
//
// Handlers copy these records out of PACKET_MSG.data and applications pass
// them by pointer to the request functions, so an application built on the
// desktop and one built for the head unit must agree on every byte.  One
// table gives, for every record without pointers, its size and alignment
// and the offset and size of each field; the suite runs it natively and on
// 32-bit ARM, and the same numbers must hold on both.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "mcu_agent_api.h"

namespace {

struct FieldLayout {
    const char *name;
    std::size_t offset, expected_offset;
    std::size_t size, expected_size;
};

struct RecordLayout {
    const char *name;
    std::size_t size, expected_size;
    std::size_t align, expected_align;
    std::vector<FieldLayout> fields;  // in declaration order
};

// RECORD(type, expected size, expected alignment, FIELD(...), ...)
// FIELD(member, expected offset, expected size)
// Each row carries what this compiler measured beside what is expected.
#define RECORD(T, size_, align_, ...)                                                   \
    [] {                                                                                \
        using R = T;                                                                    \
        return RecordLayout{#T, sizeof(R), size_, alignof(R), align_, {__VA_ARGS__}};   \
    }()
#define FIELD(member, offset_, size_) \
    FieldLayout { #member, offsetof(R, member), offset_, sizeof(R::member), size_ }

const std::vector<RecordLayout> &records() {
    static const std::vector<RecordLayout> table = {
        RECORD(PACKET_MSG, 264, 4,
               FIELD(mcu_msg_id, 0, 4),
               FIELD(size, 4, 1),
               FIELD(data, 5, 256)),

        // System, power, keys and clock
        RECORD(TOUCH_INFO, 8, 4,
               FIELD(x, 0, 2),
               FIELD(y, 2, 2),
               FIELD(type, 4, 4)),
        RECORD(VERSION_INFO, 72, 4,
               FIELD(type, 0, 4),
               FIELD(version_buffer, 4, 64),
               FIELD(size, 68, 1)),
        RECORD(CLOCK_MSG, 8, 2,
               FIELD(hours, 0, 1),
               FIELD(minutes, 1, 1),
               FIELD(seconds, 2, 1),
               FIELD(year, 4, 2),
               FIELD(month, 6, 1),
               FIELD(date, 7, 1)),
        RECORD(RTC_MSG, 12, 4,
               FIELD(rtc_mode, 0, 4),
               FIELD(clock_msg, 4, 8)),
        RECORD(BUTTON_DUTY_INFO, 8, 4,
               FIELD(mode, 0, 4),
               FIELD(value, 4, 4)),
        RECORD(SETUP_PARAM_INFO, 256, 1,
               FIELD(size, 0, 1),
               FIELD(param_info, 1, 255)),
        RECORD(COREBOARD_RESUME_INFO, 132, 2,
               FIELD(address_offset, 0, 2),
               FIELD(length, 2, 2),
               FIELD(data, 4, 128)),
        RECORD(MB_VERSION_INFO, 24, 4,
               FIELD(MB_version, 0, 2),
               FIELD(MB_checksum, 2, 2),
               FIELD(CD_version, 4, 5),
               FIELD(Panel_version, 10, 2),
               FIELD(AVM_version, 12, 4),
               FIELD(AVM_Vin, 16, 6)),
        RECORD(POWER_INFO, 12, 4,
               FIELD(reserver, 0, 1),
               FIELD(power_status, 4, 4),
               FIELD(power_mode, 8, 4)),
        RECORD(ERR_COUNT_INFO, 8, 2,
               FIELD(fail_to_start_num, 0, 2),
               FIELD(heartbeat_timeout_num, 2, 2),
               FIELD(loss_of_sync_msg_num, 4, 2),
               FIELD(repeat_sync_msg_num, 6, 2)),

        // Audio
        RECORD(AUDIO_SETTING_TYPE_INFO, 8, 4,
               FIELD(type, 0, 4),
               FIELD(value, 4, 1)),
        RECORD(NAVIGATION_BROADCAST_ID, 8, 4,
               FIELD(navigation_broadcast, 0, 4),
               FIELD(navigation_type, 4, 4)),
        RECORD(ABSOLUTELY_VOLUME, 8, 4,
               FIELD(absolutely_volume, 0, 4),
               FIELD(value, 4, 1)),
        RECORD(EQ_PIN_INFO, 2, 1,
               FIELD(data, 0, 1),
               FIELD(detection_position, 1, 1)),
        RECORD(AUDIO_DEVICE_PLUG_STATUS, 8, 4,
               FIELD(type, 0, 4),
               FIELD(status, 4, 1),
               FIELD(eq_info, 5, 2)),
        RECORD(AUDIO_VOLUME_INFO, 12, 4,
               FIELD(audio_type, 0, 4),
               FIELD(volume_values, 4, 1),
               FIELD(audio_info, 8, 4)),

        // Radio tuner
        RECORD(RADIO_BAND_CHANGE_INFO, 16, 4,
               FIELD(radio_direction, 0, 4),
               FIELD(band, 4, 4),
               FIELD(preset_num, 8, 1),
               FIELD(preset_freq, 12, 4)),
        RECORD(RADIO_STOP_CONDITIONS_INFO, 8, 4,
               FIELD(cmd_info, 0, 4),
               FIELD(option_info, 4, 4)),
        RECORD(RADIO_NOTIFY, 16, 4,
               FIELD(band, 0, 4),
               FIELD(preset_num, 4, 1),
               FIELD(status, 8, 4),
               FIELD(cur_freq, 12, 4)),
        RECORD(RADIO_PRESET_INFO, 56, 4,
               FIELD(band, 0, 4),
               FIELD(preset_freq, 4, 48),
               FIELD(preset_num, 52, 1)),
        RECORD(RADIO_STATION_LIST_INFO, 208, 4,
               FIELD(band_type, 0, 4),
               FIELD(station_num, 4, 1),
               FIELD(station_freq, 8, 200)),
        RECORD(CURRADIO_STATION_LIST_INFO, 8, 4,
               FIELD(band_type, 0, 4),
               FIELD(play_state, 4, 4)),
        RECORD(RADIO_COLLECTED_INFO, 65, 1,
               FIELD(size, 0, 1),
               FIELD(content, 1, 64)),

        // Display, video, camera and Bluetooth
        RECORD(BLUETOOTH_STATUS_INFO, 8, 4,
               FIELD(type, 0, 4),
               FIELD(status, 4, 4)),
        RECORD(VIDEO_SOURCE_INFO, 8, 4,
               FIELD(video_source, 0, 4),
               FIELD(video_type, 4, 4)),
        RECORD(DAYNIGHT_MODE_INFO, 8, 4,
               FIELD(level, 0, 4),
               FIELD(value, 4, 1)),
        RECORD(DAYNIGHT_MODE_SET_INFO, 12, 4,
               FIELD(daynight_mode, 0, 4),
               FIELD(brightness_level, 4, 1),
               FIELD(ILL_mode, 8, 4)),
        RECORD(AVM_SETTING_TYPE_INFO, 8, 4,
               FIELD(type, 0, 4),
               FIELD(value, 4, 1)),
        RECORD(AVM_DATA_INFO, 129, 1,
               FIELD(size, 0, 1),
               FIELD(content, 1, 128)),

        // Vehicle bus and climate control
        RECORD(MCAN_DATA_INFO, 257, 1,
               FIELD(size, 0, 1),
               FIELD(data, 1, 256)),
        RECORD(HVAC_STATUS, 96, 4,
               FIELD(maxAC, 0, 4),
               FIELD(AC, 4, 4),
               FIELD(recirc, 8, 4),
               FIELD(fresh, 12, 4),
               FIELD(defrost, 16, 4),
               FIELD(mode, 20, 4),
               FIELD(front_panel_left_temp_minus, 24, 4),
               FIELD(front_panel_letf_tmep_plus, 28, 4),
               FIELD(front_panel_blower_minus, 32, 4),
               FIELD(front_panel_blower_plus, 36, 4),
               FIELD(touch_panel_blower_minus, 40, 4),
               FIELD(touch_panel_blower_plus, 44, 4),
               FIELD(target_blower_level, 48, 1),
               FIELD(dual, 52, 4),
               FIELD(on_off, 56, 4),
               FIELD(redefrost, 60, 4),
               FIELD(front_panel_right_temp_minus, 64, 4),
               FIELD(front_panel_right_tmep_plus, 68, 4),
               FIELD(touch_panel_left_temp_minus, 72, 4),
               FIELD(touch_panel_letf_tmep_plus, 76, 4),
               FIELD(touch_panel_target_letf_tmep, 80, 1),
               FIELD(touch_panel_right_temp_minus, 84, 4),
               FIELD(touch_panel_right_tmep_plus, 88, 4),
               FIELD(touch_panel_target_right_tmep, 92, 1)),
        RECORD(HVAC_INFO, 24, 4,
               FIELD(hvac_status, 0, 1),
               FIELD(maxAC_on_off, 1, 1),
               FIELD(AC_on_off, 2, 1),
               FIELD(recirc_on_off, 3, 1),
               FIELD(fresh_on_off, 4, 1),
               FIELD(dual_on_off, 5, 1),
               FIELD(ACT_on_off, 6, 1),
               FIELD(redefrost_on_off, 7, 1),
               FIELD(defrost_on_off, 8, 1),
               FIELD(display_on_off, 9, 1),
               FIELD(blower_level, 10, 1),
               FIELD(left_temp, 11, 1),
               FIELD(right_temp, 12, 1),
               FIELD(hvac_mode, 16, 4),
               FIELD(hvac_key, 20, 4)),
        RECORD(HVAC_DIAG_CTRL_INFO, 8, 4,
               FIELD(obj, 0, 4),
               FIELD(light_status, 4, 1),
               FIELD(reserver, 5, 2)),
        RECORD(HVAC_DIAG_INFO, 16, 4,
               FIELD(status, 0, 4),
               FIELD(obj, 4, 4),
               FIELD(code, 8, 4),
               FIELD(key, 12, 4)),
        RECORD(IT_COMMANDER_INFO, 12, 4,
               FIELD(sw, 0, 1),
               FIELD(encoder, 4, 4),
               FIELD(directions, 8, 4)),
        RECORD(AUTOTEST_DATA_INFO, 129, 1,
               FIELD(size, 0, 1),
               FIELD(data, 1, 128)),
    };
    return table;
}

#undef RECORD
#undef FIELD

TEST(LayoutTest, EveryRecordHasTheTargetLayout) {
    for (const RecordLayout &r : records()) {
        EXPECT_EQ(r.size, r.expected_size) << "sizeof(" << r.name << ")";
        EXPECT_EQ(r.align, r.expected_align) << "alignof(" << r.name << ")";
        for (const FieldLayout &f : r.fields) {
            EXPECT_EQ(f.offset, f.expected_offset) << "offsetof(" << r.name << ", " << f.name << ")";
            EXPECT_EQ(f.size, f.expected_size) << "sizeof(" << r.name << "." << f.name << ")";
        }
    }
}

// Keeps the table honest: with natural alignment every byte of a record
// that no listed field covers is padding, shorter than the record's
// alignment.  A field left out of a row (or a packed record) shows up as a
// gap or an overlap.
TEST(LayoutTest, FieldsCoverEveryRecordUpToPadding) {
    for (const RecordLayout &r : records()) {
        std::size_t end = 0;
        for (const FieldLayout &f : r.fields) {
            EXPECT_GE(f.offset, end) << r.name << "." << f.name << " overlaps the field before it";
            EXPECT_LT(f.offset - end, r.align) << "unlisted bytes before " << r.name << "." << f.name;
            end = f.offset + f.size;
        }
        EXPECT_LE(end, r.size) << r.name;
        EXPECT_LT(r.size - end, r.align) << "unlisted bytes at the end of " << r.name;
    }
}

}  // namespace
