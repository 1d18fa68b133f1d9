// A unit test as an application's project writes one against an installed
// copy: the library and its fake agent, found through the CMake package.
#include <chrono>
#include <cstdio>
#include <thread>

#include <mcu_agent_client/mcu_agent_api.h>
#include <mcu_agent_client/mcu_agent_testing.hpp>

namespace {

volatile int g_key = -1;
void on_key(PACKET_MSG *msg) { g_key = msg->data[0]; }

MCU_MSG_HANDLE_REGISTER handlers[] = {{MCU_MSG_RET_HARD_KEY, on_key}, {MCU_MSG_MAX_ID, nullptr}};

int fail(const char *what, const std::string &why) {
    std::fprintf(stderr, "testing consumer: %s: %s\n", what, why.c_str());
    return 1;
}

}  // namespace

int main() {
    mcu_agent::testing::FakeAgent agent;  // MCU_AGENT_SOCKET points at it now
    if (!agent.ready()) return fail("ready", agent.ready().message());
    if (!McuAgent_client_init(handlers)) return fail("McuAgent_client_init", "no connection");
    McuAgent_hmi_startup();
    const auto startup = agent.expect("HMI_STARTUP", std::chrono::milliseconds(2000));
    if (!startup) return fail("expect", startup.message());
    const auto sent = agent.inject("HARD_KEY_POWER");
    if (!sent) return fail("inject", sent.message());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (g_key != HARD_KEY_POWER && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (g_key != HARD_KEY_POWER) return fail("key", "HARD_KEY_POWER did not arrive");
    McuAgent_shutdown();
    std::puts("consumer ok");
    return 0;
}
