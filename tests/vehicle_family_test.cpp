// Vehicle bus and climate control family: every request on the wire,
// every message decoded.
#include "family_test_tables.h"

namespace mcu_agent_test {
namespace {

// ---- requests -------------------------------------------------------

// A CAN record of `size` bytes; data byte i is i + 1.
MCAN_DATA_INFO can(uint8_t size) {
    MCAN_DATA_INFO info{};
    info.size = size;
    for (std::size_t i = 0; i < sizeof info.data; ++i) info.data[i] = static_cast<uint8_t>(i + 1);
    return info;
}

template <typename Fill>
HVAC_STATUS hvac(Fill fill) {
    HVAC_STATUS status;
    std::memset(&status, 0, sizeof status);
    fill(status);
    return status;
}

// Where each key state lands in the key bit field when it alone is up.
struct KeyStateBit {
    const char *name;
    HVAC_KEY_STATUS_ID HVAC_STATUS::*field;
    Bytes payload;
};

const std::vector<KeyStateBit> kKeyStateBits = {
    {"maxAC", &HVAC_STATUS::maxAC, {0x01, 0x00, 0x00, 0x00, 0x00}},
    {"AC", &HVAC_STATUS::AC, {0x02, 0x00, 0x00, 0x00, 0x00}},
    {"recirc", &HVAC_STATUS::recirc, {0x04, 0x00, 0x00, 0x00, 0x00}},
    {"fresh", &HVAC_STATUS::fresh, {0x08, 0x00, 0x00, 0x00, 0x00}},
    {"defrost", &HVAC_STATUS::defrost, {0x10, 0x00, 0x00, 0x00, 0x00}},
    {"mode", &HVAC_STATUS::mode, {0x20, 0x00, 0x00, 0x00, 0x00}},
    {"front_panel_left_temp_minus", &HVAC_STATUS::front_panel_left_temp_minus, {0x40, 0x00, 0x00, 0x00, 0x00}},
    {"front_panel_letf_tmep_plus", &HVAC_STATUS::front_panel_letf_tmep_plus, {0x80, 0x00, 0x00, 0x00, 0x00}},
    {"front_panel_blower_minus", &HVAC_STATUS::front_panel_blower_minus, {0x00, 0x01, 0x00, 0x00, 0x00}},
    {"front_panel_blower_plus", &HVAC_STATUS::front_panel_blower_plus, {0x00, 0x02, 0x00, 0x00, 0x00}},
    {"touch_panel_blower_minus", &HVAC_STATUS::touch_panel_blower_minus, {0x00, 0x04, 0x00, 0x00, 0x00}},
    {"touch_panel_blower_plus", &HVAC_STATUS::touch_panel_blower_plus, {0x00, 0x08, 0x00, 0x00, 0x00}},
    {"dual", &HVAC_STATUS::dual, {0x00, 0x00, 0x01, 0x00, 0x00}},
    {"on_off", &HVAC_STATUS::on_off, {0x00, 0x00, 0x02, 0x00, 0x00}},
    {"redefrost", &HVAC_STATUS::redefrost, {0x00, 0x00, 0x04, 0x00, 0x00}},
    {"front_panel_right_temp_minus", &HVAC_STATUS::front_panel_right_temp_minus, {0x00, 0x00, 0x08, 0x00, 0x00}},
    {"front_panel_right_tmep_plus", &HVAC_STATUS::front_panel_right_tmep_plus, {0x00, 0x00, 0x10, 0x00, 0x00}},
    {"touch_panel_left_temp_minus", &HVAC_STATUS::touch_panel_left_temp_minus, {0x00, 0x00, 0x00, 0x01, 0x00}},
    {"touch_panel_letf_tmep_plus", &HVAC_STATUS::touch_panel_letf_tmep_plus, {0x00, 0x00, 0x00, 0x02, 0x00}},
    {"touch_panel_right_temp_minus", &HVAC_STATUS::touch_panel_right_temp_minus, {0x00, 0x00, 0x00, 0x00, 0x01}},
    {"touch_panel_right_tmep_plus", &HVAC_STATUS::touch_panel_right_tmep_plus, {0x00, 0x00, 0x00, 0x00, 0x02}},
};

// Every key state set to `state`, then the three targets.
HVAC_STATUS hvac_keys(HVAC_KEY_STATUS_ID state, uint8_t blower, uint8_t left, uint8_t right) {
    return hvac([&](HVAC_STATUS &s) {
        for (const KeyStateBit &key : kKeyStateBits) s.*key.field = state;
        s.target_blower_level = blower;
        s.touch_panel_target_letf_tmep = left;
        s.touch_panel_target_right_tmep = right;
    });
}

// send_hvac_status with this record, through the export and the slot.
RequestCase hvac_case(const std::string &name, HVAC_STATUS status, Bytes frame) {
    return {Call{name, [status]() mutable { return McuAgent_send_hvac_status(&status); },
                 [status](const MCU_AGENT_API &api) mutable { return api.send_hvac_status(&status); }},
            std::move(frame)};
}

TEST_F(RequestTest, VehicleRequestsSendTheirFrames) {
    expect_frames({
        {MCU_CALL(send_mcan_info, (ptr(can(0)))), {0xBA, 0xAB, 0x00, 0x00, 0xFD, 0x00, 0xFD}},
        {MCU_CALL(send_mcan_info, (ptr(can(3)))), outbound_frame(0xFD, {0x01, 0x02, 0x03})},
        {MCU_CALL(send_host_can, (ptr(can(255)))), outbound_frame(0xF6, counting(255))},
        {MCU_CALL(send_fcc_can, (ptr(can(2)))), outbound_frame(0xF7, {0x01, 0x02})},
        {MCU_CALL(send_rcc_can, (ptr(can(1)))), outbound_frame(0xF8, {0x01})},
        {MCU_CALL(get_can_info, (0xF7, 0x05)), {0xBA, 0xAB, 0x00, 0x00, 0xF7, 0x01, 0x05, 0xF3}},
        {MCU_CALL(get_can_info, (0xF6, 0x10)), outbound_frame(0xF6, {0x10})},
        {MCU_CALL(get_can_info, (0xF8, 0xFF)), outbound_frame(0xF8, {0xFF})},
        hvac_case("send_hvac_status(all up, 3, 20, 22)", hvac_keys(HVAC_KEY_STATUS_UP, 3, 20, 22),
                  {0xBA, 0xAB, 0x00, 0x00, 0xFA, 0x05, 0xFF, 0x3F, 0x1F, 0xA3, 0xB3, 0x30}),
        hvac_case("send_hvac_status(all down but AC, 7, 0, 0)", hvac([](HVAC_STATUS &s) {
                      s.AC = HVAC_KEY_STATUS_UP;
                      s.target_blower_level = 7;
                  }),
                  outbound_frame(0xFA, {0x02, 0x70, 0x00, 0x00, 0x00})),
        {MCU_CALL(send_hvac_diag_entry,
                  (ptr(HVAC_DIAG_CTRL_INFO{HAVC_DIAG_CTRL_OBJ_INDICATOR_LIGHT_CHECK, 1, {0xEE, 0xDD}}))),
         {0xBA, 0xAB, 0x00, 0x00, 0xFB, 0x05, 0x31, 0x07, 0x01, 0x00, 0x00, 0xC9}},
        {MCU_CALL(send_hvac_diag_read_status,
                  (ptr(HVAC_DIAG_CTRL_INFO{HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER, 0x80, {0xEE, 0xDD}}))),
         outbound_frame(0xFB, {0x32, 0x02, 0x80, 0x00, 0x00})},
        {MCU_CALL(send_hvac_diag_exit, ()), {0xBA, 0xAB, 0x00, 0x00, 0xFB, 0x05, 0x30, 0x00, 0x00, 0x00, 0x00, 0xCE}},
        {MCU_CALL(send_hvac_diag_unit_test_mode, (HVAC_DIAG_CTRL_MODE2)),
         {0xBA, 0xAB, 0x00, 0x00, 0xFB, 0x05, 0x3A, 0x02, 0x00, 0x00, 0x00, 0xC6}},
    });
}

// Each field of the key bit field on its own: its bits and no other.
TEST_F(RequestTest, HvacKeyBitFieldPlacesEachField) {
    std::vector<RequestCase> cases;
    for (const KeyStateBit &key : kKeyStateBits)
        cases.push_back(hvac_case(key.name, hvac([&](HVAC_STATUS &s) { s.*key.field = HVAC_KEY_STATUS_UP; }),
                                  outbound_frame(0xFA, key.payload)));
    cases.push_back(hvac_case("target_blower_level 15", hvac([](HVAC_STATUS &s) { s.target_blower_level = 15; }),
                              outbound_frame(0xFA, {0x00, 0xF0, 0x00, 0x00, 0x00})));
    cases.push_back(hvac_case("touch_panel_target_letf_tmep 31",
                              hvac([](HVAC_STATUS &s) { s.touch_panel_target_letf_tmep = 31; }),
                              outbound_frame(0xFA, {0x00, 0x00, 0x00, 0xF8, 0x00})));
    cases.push_back(hvac_case("touch_panel_target_right_tmep 31",
                              hvac([](HVAC_STATUS &s) { s.touch_panel_target_right_tmep = 31; }),
                              outbound_frame(0xFA, {0x00, 0x00, 0x00, 0x00, 0xF8})));
    expect_frames(cases);
}

// Fields are not masked: a value wider than its slot spills into the
// neighbouring bits, and what passes bit 7 is lost.
TEST_F(RequestTest, HvacKeyBitFieldUnmasked) {
    expect_frames({
        hvac_case("maxAC 2 lands on AC's bit", hvac([](HVAC_STATUS &s) { set_raw(s.maxAC, 2); }),
                  outbound_frame(0xFA, {0x02, 0x00, 0x00, 0x00, 0x00})),
        hvac_case("front_panel_letf_tmep_plus 3 loses bit 8",
                  hvac([](HVAC_STATUS &s) { set_raw(s.front_panel_letf_tmep_plus, 3); }),
                  outbound_frame(0xFA, {0x80, 0x00, 0x00, 0x00, 0x00})),
        hvac_case("target_blower_level 0x1F loses bit 8", hvac([](HVAC_STATUS &s) { s.target_blower_level = 0x1F; }),
                  outbound_frame(0xFA, {0x00, 0xF0, 0x00, 0x00, 0x00})),
        hvac_case("touch_panel_target_letf_tmep 33", hvac([](HVAC_STATUS &s) { s.touch_panel_target_letf_tmep = 33; }),
                  outbound_frame(0xFA, {0x00, 0x00, 0x00, 0x08, 0x00})),
        hvac_case("maxAC 0x101 keeps its low 8 bits", hvac([](HVAC_STATUS &s) { set_raw(s.maxAC, 0x101); }),
                  outbound_frame(0xFA, {0x01, 0x00, 0x00, 0x00, 0x00})),
    });
}

// Enumerations travel as their low 8 bits, whatever int a C caller passed.
TEST_F(RequestTest, VehicleEnumerationsTravelAsLow8Bits) {
    EXPECT_EQ(McuAgent_send_hvac_diag_unit_test_mode(static_cast<HVAC_DIAG_CTRL_UT_MODE_ID>(0x203)), 12);
    EXPECT_EQ(hex(server_->read_frame().value_or(Bytes{})), hex(outbound_frame(0xFB, {0x3A, 0x03, 0x00, 0x00, 0x00})));
    HVAC_DIAG_CTRL_INFO info{};
    set_raw(info.obj, 0x1107);
    info.light_status = 0x55;
    EXPECT_EQ(McuAgent_send_hvac_diag_entry(&info), 12);
    EXPECT_EQ(hex(server_->read_frame().value_or(Bytes{})), hex(outbound_frame(0xFB, {0x31, 0x07, 0x55, 0x00, 0x00})));
}

TEST_F(RequestTest, VehicleRequestsRefused) {
    expect_refused({
        // Only the host, FCC and RCC channels are queried, silently.
        {MCU_CALL(get_can_info, (0xFD, 0x05)), 0, ""},
        {MCU_CALL(get_can_info, (0xF5, 0x05)), 0, ""},
        {MCU_CALL(get_can_info, (0xF9, 0x05)), 0, ""},
        {MCU_CALL(get_can_info, (0x00, 0x05)), 0, ""},
        {MCU_CALL(send_mcan_info, (nullptr)), -1, ""},
        {MCU_CALL(send_host_can, (nullptr)), -1, ""},
        {MCU_CALL(send_fcc_can, (nullptr)), -1, ""},
        {MCU_CALL(send_rcc_can, (nullptr)), -1, ""},
        {MCU_CALL(send_hvac_status, (nullptr)), -1, ""},
        {MCU_CALL(send_hvac_diag_entry, (nullptr)), -1, ""},
        {MCU_CALL(send_hvac_diag_read_status, (nullptr)), -1, ""},
    });
}

// ---- decoding -------------------------------------------------------

TEST_F(DecodeTest, VehicleCanChannels) {
    for (uint8_t id : {0xF6, 0xF7, 0xF8, 0xFD}) {
        SCOPED_TRACE(static_cast<int>(id));
        expect_decoded({
            {"normal", id, {0x01, 0x02, 0x03}, bytes({0x03, 0x01, 0x02, 0x03})},
            {"empty", id, {}, bytes({})},
            {"L=255", id, counting(255), bytes(concat({255}, counting(255)))},
        });
    }
}

TEST_F(DecodeTest, VehicleAutotestData) {
    expect_decoded({
        {"normal", 0xFE, {0x01, 0x02, 0x03}, bytes({0x03, 0x01, 0x02, 0x03})},
        {"empty", 0xFE, {}, bytes({})},
        // Longer than the record's data: the bytes run on into the rest.
        {"L=200", 0xFE, counting(200), bytes(concat({200}, counting(200)))},
    });
}

Expected diag(uint32_t status, uint32_t obj, uint32_t code, uint32_t key) {
    return record<HVAC_DIAG_INFO>([=](HVAC_DIAG_INFO &r) {
        set_raw(r.status, status);
        set_raw(r.obj, obj);
        set_raw(r.code, code);
        set_raw(r.key, key);
    });
}

TEST_F(DecodeTest, VehicleHvacDiagnosisReport) {
    expect_decoded({
        {"key value", 0xFB, {0x43, 0x08, 0x3F, 0xFF, 0xFE},
         diag(HVAC_DIAG_STATUS_DONE_EXECUTION, HAVC_DIAG_CTRL_OBJ_KEY_VALUE, 0x083F, KEY_DEFROST_PRESS)},
        {"fault code", 0xFB, {0x42, 0x02, 0x03, 0x00, 0x00},
         diag(HVAC_DIAG_STATUS_DOING_EXECUTION, HAVC_DIAG_CTRL_OBJ_MODE_DAMPER_MOTER, MODE_DAMPER_MOTER_STALLING,
              0x030000)},
        // Bits 6 and 7 of P2 belong to the code only.
        {"P2 top bits", 0xFB, {0x40, 0x01, 0xC1, 0x00, 0x00}, diag(0x40, 0x01, 0x01C1, 0x010000)},
        {"short", 0xFB, {0x43, 0x08}, diag(0x43, 0x08, 0x0800, 0)},
        {"long", 0xFB, {0x43, 0x08, 0x3F, 0xFF, 0xFE, 0x77},
         diag(HVAC_DIAG_STATUS_DONE_EXECUTION, HAVC_DIAG_CTRL_OBJ_KEY_VALUE, 0x083F, KEY_DEFROST_PRESS)},
    });
}

// The HVAC report, one field per argument in the record's order.
Expected hvac_info(uint8_t status, uint8_t max_ac, uint8_t ac, uint8_t recirc, uint8_t fresh, uint8_t dual, uint8_t act,
                   uint8_t redefrost, uint8_t defrost, uint8_t display, uint8_t blower, uint8_t left, uint8_t right,
                   uint32_t mode, uint32_t key) {
    return record<HVAC_INFO>([=](HVAC_INFO &r) {
        // Field by field: assigning a whole record would copy its padding.
        r.hvac_status = status;
        r.maxAC_on_off = max_ac;
        r.AC_on_off = ac;
        r.recirc_on_off = recirc;
        r.fresh_on_off = fresh;
        r.dual_on_off = dual;
        r.ACT_on_off = act;
        r.redefrost_on_off = redefrost;
        r.defrost_on_off = defrost;
        r.display_on_off = display;
        r.blower_level = blower;
        r.left_temp = left;
        r.right_temp = right;
        set_raw(r.hvac_mode, mode);
        set_raw(r.hvac_key, key);
    });
}

const Bytes kNoState = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

// PACKET_MSG.size is 24, the record's size, whatever the length byte said.
TEST_F(DecodeTest, VehicleHvacReport) {
    expect_decoded(
        {
            {"all 0xAA: no state", 0xFA, kNoState, hvac_info(0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 10, 21, 21, 5, 170)},
            {"one byte off 0xAA", 0xFA, {0xAA, 0xAA, 0xAA, 0xAA, 0xAB},
             hvac_info(1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 10, 21, 21, 5, 171)},
            {"short", 0xFA, {0x01, 0x10, 0x50}, hvac_info(1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 10, 0, 0, HVAC_KEY_NULL)},
            {"empty", 0xFA, {}, hvac_info(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)},
            {"long", 0xFA, concat(kNoState, {0x00, 0x11}), hvac_info(0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 10, 21, 21, 5, 170)},
            // Values past the enumerations are delivered unchanged.
            {"every bit", 0xFA, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
             hvac_info(1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 15, 31, 31, 7, 255)},
            // Bits 0..2 of P2 and P3 are not part of the temperatures.
            {"temperature low bits", 0xFA, {0x00, 0x00, 0x07, 0x0F, 0x00},
             hvac_info(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0)},
        },
        24);
}

Expected commander(uint8_t sw, uint32_t encoder, uint32_t directions) {
    return record<IT_COMMANDER_INFO>([=](IT_COMMANDER_INFO &r) {
        r.sw = sw;
        set_raw(r.encoder, encoder);
        set_raw(r.directions, directions);
    });
}

// PACKET_MSG.size is 12, the record's size, whatever the length byte said.
TEST_F(DecodeTest, VehicleItCommander) {
    expect_decoded(
        {
            {"clockwise down", 0xFC, {0x01, 0x35}, commander(1, ENCODER_CW_3PULSE, DIRECTIONS_DOWN)},
            {"bit 7 ignored", 0xFC, {0x00, 0xF8}, commander(0, ENCODER_CCW_3PULSE, DIRECTIONS_UP_LEFT)},
            {"unlisted values", 0xFC, {0x02, 0x4F}, commander(2, 4, 15)},
            {"empty", 0xFC, {}, commander(0, ENCODER_OFF, DIRECTIONS_OFF)},
            {"long", 0xFC, {0x01, 0x35, 0x99}, commander(1, ENCODER_CW_3PULSE, DIRECTIONS_DOWN)},
        },
        12);
}

}  // namespace
}  // namespace mcu_agent_test
