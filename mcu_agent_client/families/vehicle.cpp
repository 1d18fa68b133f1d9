// vehicle.cpp - request functions of the vehicle
// family: CAN relay on the MCAN, host, FCC and RCC channels, climate
// control (HVAC) state and diagnosis, IT commander and autotest data.
#include <iterator>

#include "enum_field.h"
#include "internal.h"

namespace mcu_agent {

namespace {

// ---- HVAC key bit field (outbound) ----------------------------------

// One field of the 5-byte key bit field: payload byte P<byte>, lowest bit
// `shift`, and the HVAC_STATUS member it comes from (a key state or one of
// the three target values).
struct KeyField {
    uint8_t byte;
    uint8_t shift;
    HVAC_KEY_STATUS_ID HVAC_STATUS::*key = nullptr;
    uint8_t HVAC_STATUS::*target = nullptr;

    constexpr KeyField(uint8_t b, uint8_t s, HVAC_KEY_STATUS_ID HVAC_STATUS::*k) : byte(b), shift(s), key(k) {}
    constexpr KeyField(uint8_t b, uint8_t s, uint8_t HVAC_STATUS::*t) : byte(b), shift(s), target(t) {}

    uint32_t value(const HVAC_STATUS &status) const {
        return key ? enum_value(status.*key) : status.*target;
    }
};

constexpr int kKeyFieldBytes = 5;

// Bits not listed are 0.  Values are not masked: a value wider than its
// slot spills into the neighbouring bits, and what is shifted past bit 7
// is lost (the caller keeps key states to 0/1, the blower level to 0..15
// and the target temperatures to 0..31).
constexpr KeyField kKeyFields[] = {
    {0, 0, &HVAC_STATUS::maxAC},
    {0, 1, &HVAC_STATUS::AC},
    {0, 2, &HVAC_STATUS::recirc},
    {0, 3, &HVAC_STATUS::fresh},
    {0, 4, &HVAC_STATUS::defrost},
    {0, 5, &HVAC_STATUS::mode},
    {0, 6, &HVAC_STATUS::front_panel_left_temp_minus},
    {0, 7, &HVAC_STATUS::front_panel_letf_tmep_plus},
    {1, 0, &HVAC_STATUS::front_panel_blower_minus},
    {1, 1, &HVAC_STATUS::front_panel_blower_plus},
    {1, 2, &HVAC_STATUS::touch_panel_blower_minus},
    {1, 3, &HVAC_STATUS::touch_panel_blower_plus},
    {1, 4, &HVAC_STATUS::target_blower_level},  // bits 4..7
    {2, 0, &HVAC_STATUS::dual},
    {2, 1, &HVAC_STATUS::on_off},
    {2, 2, &HVAC_STATUS::redefrost},
    {2, 3, &HVAC_STATUS::front_panel_right_temp_minus},
    {2, 4, &HVAC_STATUS::front_panel_right_tmep_plus},
    {3, 0, &HVAC_STATUS::touch_panel_left_temp_minus},
    {3, 1, &HVAC_STATUS::touch_panel_letf_tmep_plus},
    {3, 3, &HVAC_STATUS::touch_panel_target_letf_tmep},  // bits 3..7
    {4, 0, &HVAC_STATUS::touch_panel_right_temp_minus},
    {4, 1, &HVAC_STATUS::touch_panel_right_tmep_plus},
    {4, 3, &HVAC_STATUS::touch_panel_target_right_tmep},  // bits 3..7
};
static_assert(std::size(kKeyFields) == 24, "every field of HVAC_STATUS is sent");

constexpr bool key_fields_inside_payload() {
    for (const KeyField &field : kKeyFields)
        if (field.byte >= kKeyFieldBytes || field.shift > 7) return false;
    return true;
}
static_assert(key_fields_inside_payload(), "every field starts inside the 5-byte payload");

// ---- HVAC diagnosis (outbound) --------------------------------------

// The four diagnosis requests are one five-byte frame; P0 says which.
enum DiagRequest : uint8_t {
    kDiagExit = 0x30,
    kDiagEntry = 0x31,
    kDiagReadStatus = 0x32,
    kDiagUnitTestMode = 0x3A,
};

int send_hvac_diag(DiagRequest request, uint32_t p1 = 0, uint8_t p2 = 0) {
    const uint8_t payload[] = {request, lo8(p1), p2, 0, 0};
    return packet_fill_send(MCU_CMD_SEND_HVAC_DIAG_INFO, payload, sizeof payload);
}

// ---- CAN relay (outbound) -------------------------------------------

// The record's size byte is the frame's length byte, its data the payload.
int send_can(uint32_t cmd, const MCAN_DATA_INFO *info) {
    if (!info) return kNotSent;
    return packet_fill_send(cmd, info->data, info->size);
}

}  // namespace

}  // namespace mcu_agent

using namespace mcu_agent;

extern "C" {

int McuAgent_send_mcan_info(MCAN_DATA_INFO *mcan_info) { return send_can(MCU_CMD_SEND_MCAN_INFO, mcan_info); }
int McuAgent_send_host_can(MCAN_DATA_INFO *mcan_info) { return send_can(MCU_CMD_SET_ENHOST_CAN, mcan_info); }
int McuAgent_send_fcc_can(MCAN_DATA_INFO *mcan_info) { return send_can(MCU_CMD_SET_FCC_CAN, mcan_info); }
int McuAgent_send_rcc_can(MCAN_DATA_INFO *mcan_info) { return send_can(MCU_CMD_SET_RCC_CAN, mcan_info); }

int McuAgent_get_can_info(uint8_t gcid, uint8_t subid) {
    // Only the host, FCC and RCC channels answer a query; the command id is
    // the channel's own.
    switch (gcid) {
        case MCU_CMD_SET_ENHOST_CAN:
        case MCU_CMD_SET_FCC_CAN:
        case MCU_CMD_SET_RCC_CAN:
            return send_byte(gcid, subid);
        default:
            return 0;
    }
}

int McuAgent_send_hvac_status(HVAC_STATUS *hvac_status) {
    if (!hvac_status) return kNotSent;
    uint8_t payload[kKeyFieldBytes] = {};
    for (const KeyField &field : kKeyFields)
        payload[field.byte] |= lo8(field.value(*hvac_status) << field.shift);
    return packet_fill_send(MCU_CMD_SEND_HVAC_INFO, payload, sizeof payload);
}

int McuAgent_send_hvac_diag_entry(HVAC_DIAG_CTRL_INFO *info) {
    if (!info) return kNotSent;
    return send_hvac_diag(kDiagEntry, enum_value(info->obj), info->light_status);
}

int McuAgent_send_hvac_diag_read_status(HVAC_DIAG_CTRL_INFO *info) {
    if (!info) return kNotSent;
    return send_hvac_diag(kDiagReadStatus, enum_value(info->obj), info->light_status);
}

int McuAgent_send_hvac_diag_exit(void) { return send_hvac_diag(kDiagExit); }

int McuAgent_send_hvac_diag_unit_test_mode(HVAC_DIAG_CTRL_UT_MODE_ID mode) {
    return send_hvac_diag(kDiagUnitTestMode, enum_value(mode));
}

}  // extern "C"
