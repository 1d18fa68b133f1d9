// The GLib adapter on a GMainLoop: 10,000 frames from a test agent reach
// the table's handler and a listener on the main thread, in order, also
// when a listener runs a nested main loop.
#include <errno.h>
#include <string.h>

#include "main_loop_check.h"
#include "mcu_agent_glib.h"

namespace {

using namespace mcu_agent_test;

MainLoopDeliveries *g_record;
void on_table_frame(PACKET_MSG *msg) { g_record->table_frame(*msg); }
MCU_MSG_HANDLE_REGISTER g_table[] = {{static_cast<MCU_MSG_ID>(kMainLoopFrameId), on_table_frame},
                                     {MCU_MSG_MAX_ID, nullptr}};

struct LoopRun {
    GMainLoop *loop;
    MainLoopDeliveries record;
    bool nested_loop;
    bool timed_out = false;
};

gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

void on_frame(const PACKET_MSG *msg, void *user) {
    LoopRun *run = static_cast<LoopRun *>(user);
    if (run->record.listened_frame(*msg, run->nested_loop)) {
        const long before = thread_cpu_ms();
        GMainLoop *nested = g_main_loop_new(nullptr, FALSE);
        g_timeout_add(kNestedMs, quit_loop, nested);
        g_main_loop_run(nested);
        g_main_loop_unref(nested);
        run->record.nested_cpu_ms = thread_cpu_ms() - before;
    }
    if (run->record.complete()) g_main_loop_quit(run->loop);
}

void on_connection(int connected, void *user) { static_cast<LoopRun *>(user)->record.connection_event(connected); }

gboolean time_out(gpointer user) {
    LoopRun *run = static_cast<LoopRun *>(user);
    run->timed_out = true;
    g_main_loop_quit(run->loop);
    return G_SOURCE_REMOVE;
}

class GlibAdapter : public testing::TestWithParam<MainLoopCase> {};

TEST_P(GlibAdapter, EveryFrameArrivesInOrderOnTheMainThread) {
    LoopRun run{g_main_loop_new(nullptr, FALSE), {}, GetParam().nested_loop};
    g_record = &run.record;
    ASSERT_EQ(McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION), 0);
    GSource *source = mcu_agent_source_new();
    ASSERT_NE(source, nullptr) << strerror(errno);
    g_source_attach(source, nullptr);
    ASSERT_NE(McuAgent_add_listener(MCU_AGENT_ANY_MESSAGE, on_frame, &run), 0u);
    ASSERT_NE(McuAgent_add_connection_listener(on_connection, &run), 0u);

    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    FrameSender sender(server);
    const guint timer = g_timeout_add(60000, time_out, &run);
    g_main_loop_run(run.loop);
    if (!run.timed_out) g_source_remove(timer);
    EXPECT_TRUE(sender.join());
    EXPECT_FALSE(run.timed_out) << run.record.listened.size() << " frames in 60 s";
    run.record.expect_all_in_order_on_main();
    if (run.nested_loop) {
        EXPECT_LT(run.record.nested_cpu_ms, kNestedCpuLimitMs) << "the nested loop spun";
    }
    g_source_destroy(source);
    g_source_unref(source);
    EXPECT_EQ(McuAgent_shutdown(), 0);
    EXPECT_EQ(run.record.off_main.load(), 0);
    g_main_loop_unref(run.loop);
}

INSTANTIATE_TEST_SUITE_P(Cases, GlibAdapter, testing::ValuesIn(kMainLoopCases), main_loop_case_name);

}  // namespace
