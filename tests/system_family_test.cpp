// System family: every request on the wire, every message decoded.
#include <algorithm>

#include "family_test_tables.h"

namespace mcu_agent_test {
namespace {

// ---- request arguments ------------------------------------------------

// A version report of `size` bytes of text, 'a', 'b', ... in a full buffer.
VERSION_INFO version_text(uint8_t size) {
    VERSION_INFO info{};
    info.type = VERSION_TYPE_HMI;
    for (std::size_t i = 0; i < sizeof info.version_buffer; ++i)
        info.version_buffer[i] = static_cast<char>('a' + i % 26);
    info.size = size;
    return info;
}

Bytes version_payload(uint8_t size) {
    const VERSION_INFO info = version_text(size);
    return concat({VERSION_TYPE_HMI}, Bytes(info.version_buffer, info.version_buffer + size));
}

// A setup block of `size` bytes out of a full buffer 1, 2, ... 255.
SETUP_PARAM_INFO setup_params(uint8_t size) {
    SETUP_PARAM_INFO info{};
    const Bytes all = counting(sizeof info.param_info);
    std::copy(all.begin(), all.end(), info.param_info);
    info.size = size;
    return info;
}

// Resume data of `length` bytes out of a full buffer 0x40, 0x41, ...
COREBOARD_RESUME_INFO resume(uint16_t address_offset, uint16_t length) {
    COREBOARD_RESUME_INFO info{};
    info.address_offset = address_offset;
    info.length = length;
    const Bytes all = counting(sizeof info.data, 0x40);
    std::copy(all.begin(), all.end(), info.data);
    return info;
}

using SystemRequests = RequestTest;

TEST_F(SystemRequests, EveryRequestWritesItsFrame) {
    expect_frames({
        {MCU_CALL(hmi_startup, ()), {0xBA, 0xAB, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {MCU_CALL(navi_startup, ()), outbound_frame(0x01, {})},
        {MCU_CALL(get_sync_info, ()), outbound_frame(0x02, {})},
        {MCU_CALL(get_mainboard_version_info, ()), outbound_frame(0x03, {})},
        {MCU_CALL(set_hard_key, (HARD_KEY_POWER)), {0xBA, 0xAB, 0x00, 0x00, 0x04, 0x01, 0x12, 0x17}},
        {MCU_CALL(set_touch, (ptr(TOUCH_INFO{800, 480, TOUCH_TYPE_UP}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x05, 0x05, 0x03, 0x20, 0x01, 0xE0, 0x01, 0xC3}},
        {MCU_CALL(set_engineer_mode, (ENGINEER_MODE_ENTRY)), outbound_frame(0x06, {0x01})},
        {MCU_CALL(beep_tone, (BEEP_TONE_ERROR)), outbound_frame(0x07, {0x02})},
        {MCU_CALL(poweroff_timer_disp, (DISP_STATUS_ON)), outbound_frame(0x08, {0x01})},
        {MCU_CALL(set_screen_save_mode, (SCREEN_SAVE_MODE_MAX_ID)), outbound_frame(0x09, {0x00})},
        {MCU_CALL(send_alive, (HEARTBEAT_ON)), {0xBA, 0xAB, 0x00, 0x00, 0x0E, 0x01, 0x01, 0x0E}},
        {MCU_CALL(send_version_info, (ptr(VERSION_INFO{VERSION_TYPE_BT, "V1.2", 4}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x0F, 0x05, 0x01, 0x56, 0x31, 0x2E, 0x32, 0x70}},
        {MCU_CALL(send_version_info, (ptr(VERSION_INFO{VERSION_TYPE_BT, "V1.2", 0}))), outbound_frame(0x0F, {0x01})},
        {MCU_CALL(send_version_info, (ptr(version_text(64)))), outbound_frame(0x0F, version_payload(64))},
        {MCU_CALL(set_audio_power, (POWER_STATUS_ON)), outbound_frame(0x10, {0x01})},
        {MCU_CALL(get_audio_power, ()), outbound_frame(0x11, {})},
        {MCU_CALL(set_rtc_mode, (RTC_MODE_24HOURS)), {0xBA, 0xAB, 0x00, 0x00, 0x12, 0x01, 0x01, 0x12}},
        {MCU_CALL(set_rct_clock, (ptr(CLOCK_MSG{13, 45, 30, 2024, 6, 15}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x12, 0x08, 0x02, 0x0D, 0x2D, 0x1E, 0x07, 0xE8, 0x06, 0x0F, 0xC0}},
        {MCU_CALL(get_rct_clock, ()), outbound_frame(0x13, {})},
        {MCU_CALL(set_button_backlight_duty_cycle, (ptr(BUTTON_DUTY_INFO{SET_DUTY_CYCLE, BUTTON_ADD}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x14, 0x02, 0x01, 0x00, 0x17}},
        {MCU_CALL(set_button_backlight_duty_cycle, (ptr(BUTTON_DUTY_INFO{SET_DUTY_CYCLE, BUTTON_MINUS}))),
         outbound_frame(0x14, {0x01, 0x01})},
        {MCU_CALL(set_usb_power, (200)), outbound_frame(0x15, {200})},
        {MCU_CALL(set_setup_param_info, (ptr(setup_params(0)))), {0xBA, 0xAB, 0x00, 0x00, 0x1E, 0x00, 0x1E}},
        {MCU_CALL(set_setup_param_info, (ptr(setup_params(3)))), outbound_frame(0x1E, {0x01, 0x02, 0x03})},
        {MCU_CALL(set_setup_param_info, (ptr(setup_params(254)))), outbound_frame(0x1E, counting(254))},
        {MCU_CALL(get_setup_param_info, ()), outbound_frame(0x1F, {})},
        {MCU_CALL(get_ign_on_off_status, ()), outbound_frame(0x7F, {})},
        {MCU_CALL(set_coreboard_resume_info, (ptr(COREBOARD_RESUME_INFO{0x0010, 3, {0x01, 0x02, 0x03}}))),
         {0xBA, 0xAB, 0x00, 0x00, 0x80, 0x07, 0x00, 0x10, 0x00, 0x03, 0x01, 0x02, 0x03, 0x94}},
        {MCU_CALL(set_coreboard_resume_info, (ptr(resume(0x1234, 0)))), outbound_frame(0x80, {0x12, 0x34, 0x00, 0x00})},
        // 124 data bytes fill the 128-byte payload: the length byte is 128.
        {MCU_CALL(set_coreboard_resume_info, (ptr(resume(0x0010, 124)))),
         outbound_frame(0x80, concat({0x00, 0x10, 0x00, 0x7C}, counting(124, 0x40)))},
        {MCU_CALL(get_coreboard_resume_info, (0x0100, 0x0040)),
         {0xBA, 0xAB, 0x00, 0x00, 0x81, 0x04, 0x01, 0x00, 0x00, 0x40, 0xC4}},
        {MCU_CALL(update_mainboard_firmware, (UPDATE_TYPE_MD)), {0xBA, 0xAB, 0x00, 0x00, 0xD4, 0x01, 0xAA, 0x7F}},
        {MCU_CALL(update_mainboard_firmware, (UPDATE_TYPE_OSD)), outbound_frame(0xD4, {0x01})},
        {MCU_CALL(set_coreboard_restart, ()), outbound_frame(0xDB, {})},
        {MCU_CALL(set_mainboard_default_setting, ()), outbound_frame(0xDC, {})},
    });
}

TEST_F(SystemRequests, GuardsRefuseWithoutSending) {
    expect_refused({
        {MCU_CALL(set_setup_param_info, (ptr(setup_params(255)))), 0, "size > 255,return \n"},
        // Resume data: the payload holds 124 bytes after the header.
        {MCU_CALL(set_coreboard_resume_info, (ptr(resume(0x0010, 125)))), 0, "length > 124,return \n"},
        {MCU_CALL(set_coreboard_resume_info, (ptr(resume(0x0010, 128)))), 0, "length > 124,return \n"},
        {MCU_CALL(set_coreboard_resume_info, (ptr(resume(0x0010, 0xFFFF)))), 0, "length > 124,return \n"},
        // Version text: never read past the 64-byte buffer.
        {MCU_CALL(send_version_info, (ptr(version_text(65)))), 0, "size > 64,return \n"},
        {MCU_CALL(send_version_info, (ptr(version_text(255)))), 0, "size > 64,return \n"},
    });
}

TEST_F(SystemRequests, NullRecordsSendNothing) {
    expect_refused({
        {MCU_CALL(set_touch, (nullptr)), -1, ""},
        {MCU_CALL(send_version_info, (nullptr)), -1, ""},
        {MCU_CALL(set_rct_clock, (nullptr)), -1, ""},
        {MCU_CALL(set_button_backlight_duty_cycle, (nullptr)), -1, ""},
        {MCU_CALL(set_setup_param_info, (nullptr)), -1, ""},
        {MCU_CALL(set_coreboard_resume_info, (nullptr)), -1, ""},
    });
}

TEST_F(SystemRequests, GpsClockSlotsStayEmpty) {
    EXPECT_EQ(api_->set_gps_clock, nullptr);
    EXPECT_EQ(api_->get_gps_clock, nullptr);
}

// ---- decoding -----------------------------------------------------------

const Bytes kMainboardVersion = {0x01, 0x02, 0x12, 0x34, 0x41, 0x42, 0x43, 0x44, 0x45, 0x07,
                                 0x00, 0x00, 0x01, 0x00, 0x56, 0x49, 0x4E, 0x30, 0x30, 0x31};
const Bytes kErrorCounts = {0x00, 0x01, 0x00, 0x02, 0x01, 0x00, 0xFF, 0xFF};
const Bytes kRtcClock = {0x01, 0x17, 0x3B, 0x00, 0x07, 0xE8, 0x0C, 0x1F};
const Bytes kGpsClock = {0x08, 0x00, 0x05, 0x07, 0xE9, 0x01, 0x02};

Expected mainboard_version_spec() {
    return record<MB_VERSION_INFO>([](MB_VERSION_INFO &r) {
        r.MB_version = 0x0102;
        r.MB_checksum = 0x1234;
        std::memcpy(r.CD_version, "ABCDE", 5);
        r.Panel_version = 7;
        r.AVM_version = 256;
        std::memcpy(r.AVM_Vin, "VIN001", 6);
    });
}

Expected power(uint8_t reserver, uint32_t status, uint32_t mode) {
    return record<POWER_INFO>([=](POWER_INFO &r) {
        r.reserver = reserver;
        set_raw(r.power_status, status);
        set_raw(r.power_mode, mode);
    });
}

Expected counters(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    return record<ERR_COUNT_INFO>([=](ERR_COUNT_INFO &r) { r = {a, b, c, d}; });
}

CLOCK_MSG clock_of(uint8_t h, uint8_t m, uint8_t s, uint16_t year, uint8_t month, uint8_t date) {
    CLOCK_MSG c;
    std::memset(&c, 0, sizeof c);
    c.hours = h;
    c.minutes = m;
    c.seconds = s;
    c.year = year;
    c.month = month;
    c.date = date;
    return c;
}

Expected rtc(uint32_t mode, const CLOCK_MSG &c) {
    return record<RTC_MSG>([&](RTC_MSG &r) {
        set_raw(r.rtc_mode, mode);
        std::memcpy(&r.clock_msg, &c, sizeof c);
    });
}

Expected gps(const CLOCK_MSG &c) {
    return record<CLOCK_MSG>([&](CLOCK_MSG &r) { std::memcpy(&r, &c, sizeof c); });
}

Expected setup(const Bytes &params) {
    return record<SETUP_PARAM_INFO>([&](SETUP_PARAM_INFO &r) {
        r.size = static_cast<uint8_t>(params.size());
        std::copy(params.begin(), params.end(), r.param_info);
    });
}

Expected resume_answer(uint16_t address_offset, uint16_t length, const Bytes &data) {
    return record<COREBOARD_RESUME_INFO>([&](COREBOARD_RESUME_INFO &r) {
        r.address_offset = address_offset;
        r.length = length;
        std::copy(data.begin(), data.end(), r.data);
    });
}

std::vector<DecodeCase> system_cases() {
    std::vector<DecodeCase> cases = {
        {"0x03 mainboard version", 0x03, kMainboardVersion, mainboard_version_spec()},
        {"0x03 every byte wide", 0x03,
         {0xFE, 0xDC, 0xBA, 0x98, 0x61, 0x62, 0x63, 0x64, 0x65, 0xF0, 0x12, 0x34, 0x56, 0x78, 1, 2, 3, 4, 5, 6},
         record<MB_VERSION_INFO>([](MB_VERSION_INFO &r) {
             r.MB_version = 0xFEDC;
             r.MB_checksum = 0xBA98;
             std::memcpy(r.CD_version, "abcde", 5);
             r.Panel_version = 0xF0;
             r.AVM_version = 0x12345678;
             std::memcpy(r.AVM_Vin, "\x01\x02\x03\x04\x05\x06", 6);
         })},
        {"0x03 short", 0x03, {0x01, 0x02, 0x12}, record<MB_VERSION_INFO>([](MB_VERSION_INFO &r) {
             r.MB_version = 0x0102;
             r.MB_checksum = 0x1200;
         })},
        {"0x03 long", 0x03, concat(kMainboardVersion, {0xEE, 0xEE, 0xEE}), mainboard_version_spec()},
        {"0x04 L = 2 keeps P0", 0x04, {0x12, 0x34}, bytes({0x12})},
        {"0x05 power key", 0x05, {0x00, 0x01, 0x02}, power(0, POWER_STATUS_ON, POWER_MODE_USER_OFF)},
        {"0x05 bytes outside the enumerations", 0x05, {0x09, 0xC8, 0xFF}, power(9, 200, 255)},
        {"0x05 short", 0x05, {0x07}, power(7, 0, 0)},
        {"0x05 long", 0x05, {0x00, 0x01, 0x03, 0x44}, power(0, POWER_STATUS_ON, POWER_MODE_USER_ON)},
        {"0x0E error counters", 0x0E, kErrorCounts, counters(1, 2, 256, 65535)},
        {"0x0E short", 0x0E, {0x00, 0x01, 0x02}, counters(1, 0x0200, 0, 0)},
        {"0x0E long", 0x0E, concat(kErrorCounts, {0x12, 0x34}), counters(1, 2, 256, 65535)},
        {"0x11 status alone", 0x11, {0x01}, power(0, POWER_STATUS_ON, POWER_MODE_SLEEP_OFF)},
        {"0x11 status and mode", 0x11, {0x01, 0x03}, power(0, POWER_STATUS_ON, POWER_MODE_USER_ON)},
        {"0x11 L = 3 drops the mode", 0x11, {0x01, 0x03, 0x00}, power(0, POWER_STATUS_ON, 0)},
        {"0x11 empty", 0x11, {}, power(0, 0, 0)},
        {"0x13 rtc clock", 0x13, kRtcClock, rtc(RTC_MODE_24HOURS, clock_of(23, 59, 0, 2024, 12, 31))},
        {"0x13 short", 0x13, {0x00, 0x0C, 0x1E, 0x2D, 0x07}, rtc(RTC_MODE_12HOURS, clock_of(12, 30, 45, 0x0700, 0, 0))},
        {"0x13 long", 0x13, concat(kRtcClock, {0x99}), rtc(RTC_MODE_24HOURS, clock_of(23, 59, 0, 2024, 12, 31))},
        {"0x15 gps clock", 0x15, kGpsClock, gps(clock_of(8, 0, 5, 2025, 1, 2))},
        {"0x15 short", 0x15, {0x08, 0x00, 0x05, 0x07}, gps(clock_of(8, 0, 5, 0x0700, 0, 0))},
        {"0x15 long", 0x15, concat(kGpsClock, {0x01, 0x02}), gps(clock_of(8, 0, 5, 2025, 1, 2))},
        {"0x1F three parameters", 0x1F, {0x0A, 0x0B, 0x0C}, setup({0x0A, 0x0B, 0x0C})},
        {"0x1F empty", 0x1F, {}, setup({})},
        {"0x1F L = 255", 0x1F, counting(255), setup(counting(255))},
        {"0x81 resume data", 0x81, {0x00, 0x20, 0x00, 0x02, 0xAA, 0xBB}, resume_answer(0x20, 2, {0xAA, 0xBB})},
        {"0x81 short header", 0x81, {0x01, 0x20, 0x00}, resume_answer(0x0120, 0, {})},
        {"0x81 fewer bytes than announced", 0x81, {0x00, 0x20, 0x00, 0x04, 0xAA, 0xBB},
         resume_answer(0x20, 4, {0xAA, 0xBB, 0x00, 0x00})},
        {"0x81 more bytes than announced", 0x81, {0x00, 0x20, 0x00, 0x02, 0xAA, 0xBB, 0xCC, 0xDD},
         resume_answer(0x20, 2, {0xAA, 0xBB})},
    };
    for (const auto &[name, id] : std::vector<std::pair<std::string, uint8_t>>{
             {"0x04 hard key", 0x04},
             {"0x06 engineer mode", 0x06},
             {"0x08 power-off timer display", 0x08},
             {"0x09 screen save mode", 0x09},
             {"0x0F version request", 0x0F},
             {"0x14 button light duty", 0x14},
             {"0x7F ignition", 0x7F},
         }) {
        for (DecodeCase &c : byte_rule_cases(name, id)) cases.push_back(std::move(c));
    }
    return cases;
}

using SystemDecode = DecodeTest;

TEST_F(SystemDecode, EveryMessageDecodesItsRecord) { expect_decoded(system_cases()); }

// A resume answer may announce more than the record's 128 data bytes: the
// copy stops there and `length` reads what was copied.
TEST_F(SystemDecode, ResumeAnswerStaysInsideItsRecord) {
    expect_decoded({
        {"announces 128", 0x81, concat({0x00, 0x08, 0x00, 0x80}, counting(130, 0x10)),
         resume_answer(0x08, 128, counting(128, 0x10))},
        {"announces 200, L = 255", 0x81, concat({0x00, 0x08, 0x00, 0xC8}, counting(251, 0x10)),
         resume_answer(0x08, 128, counting(128, 0x10))},
        {"announces 129, carries 2", 0x81, {0x00, 0x08, 0x00, 0x81, 0xAA, 0xBB},
         resume_answer(0x08, 128, {0xAA, 0xBB})},
        {"announces 0xFFFF", 0x81, {0xFF, 0xFF, 0xFF, 0xFF, 0xAA}, resume_answer(0xFFFF, 128, {0xAA})},
    });
}

}  // namespace
}  // namespace mcu_agent_test
