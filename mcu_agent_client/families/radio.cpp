// radio.cpp - request functions and decoding rules of the radio family.
#include "internal.h"

namespace mcu_agent {

namespace {

constexpr RuleEntry kRules[] = {{0, nullptr}};

}  // namespace

const RuleTable radio_rules = {kRules, 0};

}  // namespace mcu_agent
