// display.cpp - request functions and decoding rules of the display family.
#include "internal.h"

namespace mcu_agent {

namespace {

constexpr RuleEntry kRules[] = {{0, nullptr}};

}  // namespace

const RuleTable display_rules = {kRules, 0};

}  // namespace mcu_agent
