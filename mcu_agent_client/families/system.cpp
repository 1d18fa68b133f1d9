// system.cpp - request functions and decoding rules of the system family.
#include "internal.h"

namespace mcu_agent {

namespace {

constexpr RuleEntry kRules[] = {{0, nullptr}};

}  // namespace

const RuleTable system_rules = {kRules, 0};

}  // namespace mcu_agent
