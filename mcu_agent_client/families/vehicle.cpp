// vehicle.cpp - request functions of the vehicle
// family: CAN relay on the MCAN, host, FCC and RCC channels, climate
// control (HVAC) state and diagnosis, IT commander and autotest data.
#include <iterator>

#include "enum_field.h"
#include "internal.h"

namespace mcu_agent {

namespace {

// ---- HVAC key bit field (outbound) ----------------------------------

// The 5-byte key bit field, written from the command's rows: each row
// names its payload byte, lowest bit and HVAC_STATUS member (a key state
// or one of the three target values); bits no row names are 0.  Values
// are not masked: a value wider than its slot spills into the
// neighbouring bits, and what is shifted past bit 7 is lost (the caller
// keeps key states to 0/1, the blower level to 0..15 and the target
// temperatures to 0..31).
constexpr uint8_t kKeyFieldBytes = 5;

int send_hvac_keys(const HVAC_STATUS &status) {
    const protocol::Layout &layout = protocol::find_command(MCU_CMD_SEND_HVAC_INFO)->layouts[0];
    const auto *record = reinterpret_cast<const uint8_t *>(&status);
    uint8_t payload[kKeyFieldBytes] = {};
    for (const protocol::Field &f : layout.fields) {
        uint32_t value = 0;  // an enumeration's 32 bits or a target's 8, read through their bytes
        if (f.record_width == sizeof(uint32_t))
            std::memcpy(&value, record + f.record_offset, sizeof value);
        else
            value = record[f.record_offset];
        payload[f.pos] |= lo8(value << f.shift);
    }
    return packet_fill_send(MCU_CMD_SEND_HVAC_INFO, payload, sizeof payload);
}

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
    return send_hvac_keys(*hvac_status);
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
