// audio.cpp - request functions and decoding rules of the audio family.
#include "internal.h"

namespace mcu_agent {

namespace {

constexpr RuleEntry kRules[] = {{0, nullptr}};

}  // namespace

const RuleTable audio_rules = {kRules, 0};

}  // namespace mcu_agent
