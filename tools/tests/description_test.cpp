// description_test.cpp - the protocol description on its own: its tables
// are consistent, known frames read as the arguments and records they
// carry, and payloads survive decoding and encoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <string>

#include "client.h"
#include "codec.h"
#include "description.h"
#include "frame.h"
#include "internal.h"
#include "tool_test_support.h"
#include "words.h"

namespace {

using namespace mcu_protocol;
using mcu_tools_test::random_payload;

void check_layouts(const std::string &owner, Span<Layout> layouts, bool inbound) {
    ASSERT_FALSE(layouts.empty()) << owner;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const Layout &l = layouts[i];
        const std::string where = owner + " [" + l.name + "]";
        EXPECT_LE(l.min_length, l.max_length) << where;
        // A layout taken always hides every layout after it.
        if (l.when.by == Selector::By::Always) {
            EXPECT_EQ(i + 1, layouts.size()) << where;
        }
        if (l.when.by == Selector::By::Length) {
            EXPECT_EQ(l.min_length, l.when.value) << where;
        }
        std::set<std::string> names;
        for (const Field &f : l.fields) {
            EXPECT_TRUE(names.insert(f.name).second) << where << " repeats " << f.name;
            if (f.kind == Kind::Number) {
                EXPECT_TRUE(f.width >= 1 && f.width <= 4) << where << " " << f.name;
                EXPECT_LE(f.pos + f.width, l.max_length) << where << " " << f.name;
                EXPECT_LE(f.shift + f.bits, 8 * f.width) << where << " " << f.name;
            }
            if (f.count == Count::Field) {
                const Field *n = find_field(l, f.count_field);
                ASSERT_NE(n, nullptr) << where << " " << f.name << " counted by " << f.count_field;
                EXPECT_LT(n, &f) << where << ": the count comes before the run";
            }
            if (inbound) {
                EXPECT_GE(f.record_offset, 0) << where << " " << f.name << " has no place in the record";
                EXPECT_LE(f.record_offset + f.record_width, 256) << where << " " << f.name;
            }
        }
    }
}

TEST(DescriptionTables, IdsAreUniqueAndNamesFindTheirEntries) {
    std::set<int> ids;
    for (const Command &c : commands()) {
        EXPECT_TRUE(ids.insert(c.id).second) << c.name;
        EXPECT_EQ(std::string(c.name).rfind("MCU_CMD_", 0), 0u) << c.name;
        EXPECT_EQ(find_command(c.name), &c);
        EXPECT_EQ(find_command(c.id), &c);
        EXPECT_EQ(find_command(c.name + 8), &c) << "without the prefix";
        check_layouts(c.name, c.layouts, false);
    }
    ids.clear();
    for (const Message &m : messages()) {
        EXPECT_TRUE(ids.insert(m.id).second) << m.name;
        EXPECT_EQ(std::string(m.name).rfind("MCU_MSG_", 0), 0u) << m.name;
        EXPECT_EQ(find_message(m.name), &m);
        EXPECT_EQ(find_message(m.id), &m);
        check_layouts(m.name, m.layouts, true);
    }
    EXPECT_EQ(find_message(0x02), nullptr);
    EXPECT_EQ(find_command("MCU_CMD_NO_SUCH"), nullptr);
}

TEST(DescriptionTables, EnumerationMembersHaveUniqueNames) {
    for (const Enumeration *e : enumerations()) {
        std::set<std::string> names;
        for (const EnumValue &v : e->values) EXPECT_TRUE(names.insert(v.name).second) << e->name << " " << v.name;
        EXPECT_EQ(find_enumeration(e->name), e);
    }
}

// Every get request is answered by the message of its own number, except
// the sync request, which has none.
TEST(DescriptionTables, GetRequestsPairWithTheMessageOfTheirNumber) {
    for (const Command &c : commands()) {
        const std::string name = c.name;
        const bool get = name.rfind("MCU_CMD_GET_", 0) == 0 && name != "MCU_CMD_GET_SYNC";
        if (get) {
            EXPECT_EQ(c.answer, c.id) << name;
        }
        if (c.answer >= 0) {
            EXPECT_TRUE(get) << name;
            EXPECT_NE(find_message(static_cast<uint8_t>(c.answer)), nullptr) << name;
        }
    }
    EXPECT_EQ(find_command("MCU_CMD_GET_SYNC")->answer, -1);
}

struct FrameRow {
    const char *bytes;
    const char *words;
};

// Frames as the library writes them, and how they read.
TEST(DescriptionVectors, ApplicationFramesReadAsTheirArguments) {
    const FrameRow rows[] = {
        {"BA AB 00 00 00 00 00", "app > MCU_CMD_HMI_STARTUP(0x00)"},
        {"BA AB 00 00 0E 01 01 0E", "app > MCU_CMD_RET_ALIVE(0x0E) status=HEARTBEAT_ON"},
        {"BA AB 00 00 04 01 12 17", "app > MCU_CMD_SET_HARD_KEY(0x04) key=HARD_KEY_POWER"},
        {"BA AB 00 00 05 05 03 20 01 E0 01 C3", "app > MCU_CMD_SET_TOUCH(0x05) x=800 y=480 type=TOUCH_TYPE_UP"},
        {"BA AB 00 00 12 01 01 12", "app > MCU_CMD_SET_RTC_CLOCK(0x12) [display mode] mode=RTC_MODE_24HOURS"},
        {"BA AB 00 00 12 08 02 0D 2D 1E 07 E8 06 0F C0",
         "app > MCU_CMD_SET_RTC_CLOCK(0x12) [clock] mode=RTC_MODE_SET_CLOCK hours=13 minutes=45 seconds=30 year=2024 "
         "month=6 date=15"},
        {"BA AB 00 00 14 02 01 00 17",
         "app > MCU_CMD_SET_BUTTON_BACKLIGHT_DUTY_CYCLE(0x14) mode=SET_DUTY_CYCLE value=BUTTON_ADD"},
        {"BA AB 00 00 0F 05 01 56 31 2E 32 70",
         "app > MCU_CMD_RET_VERSION_INFO(0x0F) type=VERSION_TYPE_BT version_buffer=\"V1.2\""},
        {"BA AB 00 00 1E 00 1E", "app > MCU_CMD_SET_SETUP_PARAM_INFO(0x1E) param_info="},
        {"BA AB 00 00 80 07 00 10 00 03 01 02 03 94",
         "app > MCU_CMD_SET_PLAYER_RESUME_INFO(0x80) address_offset=16 length=3 data=010203"},
        {"BA AB 00 00 81 04 01 00 00 40 C4", "app > MCU_CMD_GET_PLAYER_RESUME_INFO(0x81) address_offset=256 length=64"},
        {"BA AB 00 00 D4 01 AA 7F", "app > MCU_CMD_UPDATE_MAINBOARD_FIRMWARE(0xD4) type=UPDATE_TYPE_MD"},
        {"BA AB 00 00 20 01 92 B3", "app > MCU_CMD_SET_AUDIO_SOURCE(0x20) audio_source=AUDIO_SOURCE_NAVIGATION_I2S"},
        {"BA AB 00 00 32 02 01 14 25",
         "app > MCU_CMD_SET_ABSOLUTELY_VOLUME(0x32) absolutely_volume=SET_BTHFP_VOLUME value=20"},
        {"BA AB 00 00 40 02 2A 30 58", "app > MCU_CMD_SET_RADIO_FREQ(0x40) freq=10800"},
        {"BA AB 00 00 52 05 02 04 03 03 84 D5",
         "app > MCU_CMD_SET_RADIO_BAND_CHANGE_INFO(0x52) radio_direction=RADIO_RIGHT band=RADIO_BAND_AM1 preset_num=3 "
         "preset_freq=900"},
        {"BA AB 00 00 53 02 74 01 24",
         "app > MCU_CMD_SET_RADIO_STOP_CONDITIONS_INFO(0x53) cmd_info=AM_SET_LEVEL option_info=MINUS"},
        {"BA AB 00 00 90 02 01 01 92",
         "app > MCU_CMD_RET_BLUETOOTH_STATUS(0x90) type=BLUETOOTH_TYPE_HID_SPP status=BLUETOOTH_STATUS_ON"},
        {"BA AB 00 00 AC 02 02 05 A9", "app > MCU_CMD_SET_TFT_DAYNIGHTMODE(0xAC) level=SET_CUR_MODE_LEVEL value=5"},
        {"BA AB 00 00 F7 01 05 F3", "app > MCU_CMD_SET_FCC_CAN(0xF7) [query] subid=5"},
        {"BA AB 00 00 FD 00 FD", "app > MCU_CMD_SEND_MCAN_INFO(0xFD) data="},
        {"BA AB 00 00 FB 05 30 00 00 00 00 CE", "app > MCU_CMD_SEND_HVAC_DIAG_INFO(0xFB) [exit] request=48"},
        {"BA AB 00 00 FB 05 3A 02 00 00 00 C6",
         "app > MCU_CMD_SEND_HVAC_DIAG_INFO(0xFB) [unit test mode] request=58 mode=HVAC_DIAG_CTRL_MODE2"},
        {"BA AB 00 00 FB 05 31 07 01 00 00 C9",
         "app > MCU_CMD_SEND_HVAC_DIAG_INFO(0xFB) [entry] request=49 obj=HAVC_DIAG_CTRL_OBJ_INDICATOR_LIGHT_CHECK "
         "light_status=1"},
        // Every key down except A/C, blower target 7.
        {"BA AB 00 00 FA 05 02 70 00 00 00 8D",
         "app > MCU_CMD_SEND_HVAC_INFO(0xFA) maxAC=HVAC_KEY_STATUS_DOWN AC=HVAC_KEY_STATUS_UP "
         "recirc=HVAC_KEY_STATUS_DOWN fresh=HVAC_KEY_STATUS_DOWN defrost=HVAC_KEY_STATUS_DOWN "
         "mode=HVAC_KEY_STATUS_DOWN front_panel_left_temp_minus=HVAC_KEY_STATUS_DOWN "
         "front_panel_letf_tmep_plus=HVAC_KEY_STATUS_DOWN front_panel_blower_minus=HVAC_KEY_STATUS_DOWN "
         "front_panel_blower_plus=HVAC_KEY_STATUS_DOWN touch_panel_blower_minus=HVAC_KEY_STATUS_DOWN "
         "touch_panel_blower_plus=HVAC_KEY_STATUS_DOWN target_blower_level=7 dual=HVAC_KEY_STATUS_DOWN "
         "on_off=HVAC_KEY_STATUS_DOWN redefrost=HVAC_KEY_STATUS_DOWN front_panel_right_temp_minus=HVAC_KEY_STATUS_DOWN "
         "front_panel_right_tmep_plus=HVAC_KEY_STATUS_DOWN touch_panel_left_temp_minus=HVAC_KEY_STATUS_DOWN "
         "touch_panel_letf_tmep_plus=HVAC_KEY_STATUS_DOWN touch_panel_target_letf_tmep=0 "
         "touch_panel_right_temp_minus=HVAC_KEY_STATUS_DOWN touch_panel_right_tmep_plus=HVAC_KEY_STATUS_DOWN "
         "touch_panel_target_right_tmep=0"},
        // What the checks catch.
        {"BA AB 00 00 21 00 22", "app > MCU_CMD_GET_AUDIO_SOURCE(0x21) !checksum 22, expected 21"},
        {"BA AB 00 00 99 00 99", "app > unknown command 0x99 !unknown command 99"},
        {"BA AB 00 00 20 02 01 02 21", "app > MCU_CMD_SET_AUDIO_SOURCE(0x20) audio_source=AUDIO_SOURCE_FM2 !length 2, takes 1"},
        {"BA AB 00 00 80 05 00 10 00 03 01 97",
         "app > MCU_CMD_SET_PLAYER_RESUME_INFO(0x80) address_offset=16 length=3 data=010000 !length 5, the fields take 7"},
        {"BA AB 00 00 12 08 05 0D 2D 1E 07 E8 06 0F C7",
         "app > MCU_CMD_SET_RTC_CLOCK(0x12) 050D2D1E07E8060F !no layout of MCU_CMD_SET_RTC_CLOCK has length 8 and P0 05"},
        {"BA AB 01 00 00 00 00", "app > MCU_CMD_HMI_STARTUP(0x00) !bytes 2 and 3 are not 00 00"},
        {"AB BA 00 00 21 01 07 27", "agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_TUNER"},
        {"AB BA 00 00 21 01 07 00",
         "agent > MCU_MSG_RET_CUR_AUDIO_SOURCE(0x21) audio_source=AUDIO_SOURCE_TUNER !checksum 00, expected 27"},
        {"12 34", "? 2 bytes outside any frame: 1234"},
    };
    for (const FrameRow &row : rows) {
        Bytes bytes;
        ASSERT_TRUE(parse_hex(row.bytes, &bytes)) << row.bytes;
        FrameScanner s;
        s.feed(bytes.data(), bytes.size());
        auto piece = s.flush();
        ASSERT_TRUE(piece) << row.bytes;
        EXPECT_EQ(piece_words(*piece), row.words) << row.bytes;
        EXPECT_FALSE(s.flush()) << row.bytes << " is one piece";
    }
}

struct MessageRow {
    const char *name;
    const char *payload;
    const char *words;
};

// Messages as the agent writes them, and how they read.
TEST(DescriptionVectors, AgentMessagesReadAsTheirRecords) {
    const MessageRow rows[] = {
        {"MCU_MSG_RET_MB_VERSION", "01 02 12 34 41 42 43 44 45 07 00 00 01 00 56 49 4E 30 30 31",
         "MB_version=258 MB_checksum=4660 CD_version=\"ABCDE\" Panel_version=7 AVM_version=256 AVM_Vin=56494E303031"},
        {"MCU_MSG_RET_CUR_AUDIO_POWER_STATUS", "01", "power_status=POWER_STATUS_ON"},
        {"MCU_MSG_RET_CUR_AUDIO_POWER_STATUS", "01 03",
         "[with mode] power_status=POWER_STATUS_ON power_mode=POWER_MODE_USER_ON"},
        {"MCU_MSG_RET_CUR_AUDIO_POWER_STATUS", "01 03 00", "power_status=POWER_STATUS_ON !length 3, takes 1"},
        {"MCU_MSG_RET_ALINE", "00 01 00 02 01 00 FF FF",
         "fail_to_start_num=1 heartbeat_timeout_num=2 loss_of_sync_msg_num=256 repeat_sync_msg_num=65535"},
        {"MCU_MSG_RET_RTC_CLOCK_INFO", "01 17 3B 00 07 E8 0C 1F",
         "rtc_mode=RTC_MODE_24HOURS hours=23 minutes=59 seconds=0 year=2024 month=12 date=31"},
        {"MCU_MSG_RET_COREBOARD_RESUME_INFO", "00 20 00 02 AA BB", "address_offset=32 length=2 data=AABB"},
        {"MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS", "06 15", "[EQ pin] type=EQ_PIN data=5 detection_position=1"},
        {"MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS", "03 01", "type=REVERSE status=1"},
        {"MCU_MSG_RET_AUDIO_VOLUME_INFO", "01 01", "[on/off] audio_type=AUDIO_ON_OFF_TYPE audio_info=AUDIO_OFF"},
        {"MCU_MSG_RET_RADIO_NOTIFY", "04 02 01 00 00 03 84",
         "band=RADIO_BAND_AM1 preset_num=2 status=RADIO_STATUS_SEEK_UP cur_freq=900"},
        {"MCU_MSG_RET_RADIO_STATION_LIST_INFO", "05 02 00 00 03 84 00 00 06 0C",
         "band_type=CMD_AM1 station_num=2 station_freq=[900,1548]"},
        {"MCU_MSG_RET_CURRADIO_STATION_LIST_INFO", "00 FF", "band_type=CMD_FM1 play_state=RADIO_SCAN_PLAY_END"},
        {"MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO", "01 05 02",
         "daynight_mode=NIGHT_MODE brightness_level=5 ILL_mode=MANUAL_NIGHT_MODE"},
        {"MCU_MSG_RET_AVM_DATA_INFO", "11 22 33", "size=3 content=112233"},
        {"MCU_MSG_RET_HVAC_INFO", "AA AA AA AA AA",
         "hvac_status=0 maxAC_on_off=0 AC_on_off=1 recirc_on_off=0 fresh_on_off=1 dual_on_off=0 "
         "hvac_mode=HVAC_MODE_MAX_ID ACT_on_off=0 redefrost_on_off=1 defrost_on_off=0 display_on_off=1 blower_level=10 "
         "left_temp=21 right_temp=21 hvac_key=170?"},
        {"MCU_MSG_RET_HVAC_DIAG_INFO", "42 02 03 00 00",
         "status=HVAC_DIAG_STATUS_DOING_EXECUTION obj=HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER "
         "code=MODE_DAMPER_MOTER_STALLING key=196608?"},
        {"MCU_MSG_RET_HVAC_DIAG_INFO", "43 08 3F FF FF",
         "status=HVAC_DIAG_STATUS_DONE_EXECUTION obj=HAVC_DIAG_CTRL_OBJ_KEY_VALUE code=2111? key=KEY_*_RELEASE"},
        {"MCU_MSG_RET_IT_COMMANDER_INFO", "01 F8", "sw=1 encoder=ENCODER_CCW_3PULSE directions=DIRECTIONS_UP_LEFT"},
        {"MCU_MSG_RET_MCAN_INFO", "01 02 03", "size=3 data=010203"},
    };
    for (const MessageRow &row : rows) {
        Bytes payload;
        ASSERT_TRUE(parse_hex(row.payload, &payload));
        const Message *m = find_message(row.name);
        ASSERT_NE(m, nullptr) << row.name;
        const std::string line = std::string(row.name) + "(0x" + hex(&m->id, 1) + ") " + row.words;
        EXPECT_EQ(frame_words(Direction::Agent, m->id, payload), line) << row.payload;
        // The library writes the decoded record in the same words, without
        // the dump's notes on the frame.
        std::array<uint8_t, RECEIVE_BUFFER_MSG_MAX_POP> area{m->id, static_cast<uint8_t>(payload.size())};
        std::copy(payload.begin(), payload.end(), area.begin() + 2);
        PACKET_MSG packet{};
        packet.mcu_msg_id = static_cast<MCU_MSG_ID>(m->id);
        packet.size = static_cast<uint8_t>(payload.size());
        mcu_agent::decode_frame(mcu_agent::Frame{area.data()}, &packet);
        char text[512];
        McuAgent_format_msg(&packet, text, sizeof text);
        EXPECT_EQ(text, line.substr(0, line.find(" !"))) << row.payload;
    }
}

// decode, encode, decode gives the same values for every layout, and the
// payload comes back wherever a field covers it.
TEST(Codec, RandomPayloadsSurviveDecodeAndEncode) {
    std::mt19937 rng(20241207);
    auto check = [&](const std::string &owner, Span<Layout> layouts) {
        for (const Layout &l : layouts)
            for (int round = 0; round < 200; ++round) {
                const Bytes p = random_payload(layouts, l, rng);
                const Values v = decode(l, p.data(), p.size());
                EXPECT_EQ(check_length(l, v, p.size()), "") << owner << " " << hex(p);
                Bytes again;
                std::string error;
                ASSERT_TRUE(encode(l, v, &again, &error)) << owner << " " << hex(p) << ": " << error;
                const Values v2 = decode(l, again.data(), again.size());
                ASSERT_EQ(format_values(l, v2), format_values(l, v)) << owner << " " << hex(p);
                EXPECT_EQ(again.size(), p.size()) << owner;
            }
    };
    for (const Command &c : commands()) check(c.name, c.layouts);
    for (const Message &m : messages()) check(m.name, m.layouts);
}

struct EncodeRow {
    const char *name;
    const char *words;
    const char *payload_or_error;  // hex payload, or "!" and part of the error
};

TEST(Codec, EncodingChoosesTheLayoutAndRefusesWhatDoesNotFit) {
    const EncodeRow rows[] = {
        {"MCU_MSG_RET_RADIO_PRESET_INFO", "band=4 preset_freq=[1,2,3,4,5,6] preset_num=2",
         "0400000001000000020000000300000004000000050000000602"},
        {"MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq=[1,2,3,4,5,6,7]",
         "000000000100000002000000030000000400000005000000060000000700"},
        {"MCU_MSG_RET_RADIO_PRESET_INFO", "preset_freq=[1,2,3]", "!preset_freq takes"},
        {"MCU_MSG_RET_RADIO_STATION_LIST_INFO", "band_type=CMD_AM1 station_freq=[900,1548]",
         "0502000003840000060C"},
        {"MCU_MSG_RET_RADIO_STATION_LIST_INFO", "station_num=3 station_freq=[900]", "!1 numbers, station_num says 3"},
        {"MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS", "type=EQ_PIN data=5 detection_position=1", "0615"},
        {"MCU_MSG_RET_AUDIO_DEVICE_PLUG_STATUS", "type=EQ_PIN status=1", "!another layout"},
        {"MCU_MSG_RET_HVAC_INFO", "hvac_status=0", "AAAAAAAAAA"},
        {"MCU_MSG_RET_HVAC_INFO", "blower_level=16", "!does not fit its 4 bits"},
        {"MCU_MSG_RET_HVAC_DIAG_INFO", "status=HVAC_DIAG_STATUS_DONE_EXECUTION obj=8 key=KEY_DEFROST_PRESS",
         "43083FFFFE"},
        {"MCU_MSG_RET_MCAN_INFO", "size=2 data=0102", "0102"},
        {"MCU_MSG_RET_MCAN_INFO", "size=3 data=0102", "!size=3 but the payload has 2 bytes"},
        {"MCU_MSG_RET_CUR_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX volume=3", "!no field volume"},
        {"MCU_CMD_SEND_HVAC_DIAG_INFO", "obj=7 light_status=1", "3107010000"},
        {"MCU_CMD_SEND_HVAC_DIAG_INFO", "request=0x3A mode=HVAC_DIAG_CTRL_MODE2", "3A02000000"},
        {"MCU_CMD_SET_RTC_CLOCK", "mode=RTC_MODE_12HOURS", "00"},
        {"MCU_CMD_SET_RTC_CLOCK", "hours=13 year=2024", "020D0000 07E80000"},
        {"MCU_CMD_SET_PLAYER_RESUME_INFO", "address_offset=16 data=010203", "0010000301 0203"},
        {"MCU_CMD_SET_AVM_DATA_INFO", "content=" "0102030405060708091011121314151617181920212223242526272829303132"
                                      "3334353637383940414243444546474849505152535455565758596061626364"
                                      "6566676869707172737475767778798081828384858687888990919293949596"
                                      "979899000102030405060708091011121314151617181920212223242526272829",
         "!at most 128 fit"},
    };
    for (const EncodeRow &row : rows) {
        Span<Layout> layouts;
        if (const Message *m = find_message(row.name)) layouts = m->layouts;
        if (const Command *c = find_command(row.name)) layouts = c->layouts;
        ASSERT_FALSE(layouts.empty()) << row.name;
        Values values;
        std::string error;
        std::vector<std::string> words;
        std::string w;
        for (const char *p = row.words;; ++p) {
            if (*p == ' ' || !*p) {
                if (!w.empty()) words.push_back(w);
                w.clear();
                if (!*p) break;
            } else {
                w += *p;
            }
        }
        Bytes payload;
        const bool ok =
            parse_assignments(layouts, words, &values, &error) && encode_any(layouts, values, &payload, &error);
        const std::string expected = row.payload_or_error;
        if (expected[0] == '!') {
            EXPECT_FALSE(ok) << row.name << " " << row.words << " gave " << hex(payload);
            EXPECT_NE(error.find(expected.substr(1)), std::string::npos) << row.name << ": " << error;
        } else {
            Bytes want;
            ASSERT_TRUE(parse_hex(expected, &want)) << expected;
            EXPECT_TRUE(ok) << row.name << " " << row.words << ": " << error;
            EXPECT_EQ(hex(payload), hex(want)) << row.name << " " << row.words;
        }
    }
}

TEST(Words, ValuesParseBackFromHowTheyPrint) {
    const Message *notify = find_message("MCU_MSG_RET_RADIO_NOTIFY");
    const Message *version = find_message("MCU_MSG_RET_MB_VERSION");
    const Message *presets = find_message("MCU_MSG_RET_RADIO_PRESET_INFO");
    struct Row {
        const Field *field;
        const char *text;
    } rows[] = {
        {find_field(notify->layouts[0], "band"), "RADIO_BAND_AM2"},
        {find_field(notify->layouts[0], "band"), "9?"},  // outside the enumeration
        {find_field(notify->layouts[0], "cur_freq"), "4294967295"},
        {find_field(version->layouts[0], "CD_version"), "\"A\\\"B\\\\\\x01\""},
        {find_field(version->layouts[0], "AVM_Vin"), "00FF10203040"},
        {find_field(presets->layouts[2], "preset_freq"), "[8750,9010,0,1,2,3]"},
    };
    for (const Row &row : rows) {
        ASSERT_NE(row.field, nullptr);
        Value v;
        std::string error;
        ASSERT_TRUE(parse_value(*row.field, row.text, &v, &error)) << row.text << ": " << error;
        EXPECT_EQ(format_value(*row.field, v), row.text);
    }
    Value v;
    std::string error;
    EXPECT_FALSE(parse_value(*rows[0].field, "RADIO_BAND_AM9", &v, &error));
    EXPECT_NE(error.find("RADIO_BAND_ID"), std::string::npos) << error;
    EXPECT_FALSE(parse_value(*rows[2].field, "4294967296", &v, &error));
    EXPECT_FALSE(parse_value(*rows[4].field, "0F0", &v, &error));
    // Hex numbers read as well.
    ASSERT_TRUE(parse_value(*rows[2].field, "0x2A30", &v, &error));
    EXPECT_EQ(v.number, 10800u);
}

TEST(Words, SharedEnumerationValuesReadAsThePattern) {
    const Enumeration *keys = find_enumeration("HVAC_DIAG_KEY_ID");
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(enum_name(*keys, 0x3FFFFF), "KEY_*_RELEASE");
    EXPECT_EQ(enum_name(*keys, 0x3FFFFE), "KEY_DEFROST_PRESS");
    EXPECT_EQ(enum_name(*keys, 5), "");
    uint32_t value = 0;
    EXPECT_TRUE(enum_value(*keys, "KEY_MENU_RELEASE", &value));
    EXPECT_EQ(value, 0x3FFFFFu);
}

}  // namespace
