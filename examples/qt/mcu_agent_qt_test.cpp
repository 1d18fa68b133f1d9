// The Qt adapter on a headless QCoreApplication: 10,000 frames from a test
// agent reach the table's handler and the messageReceived signal on the
// main thread, in order, also when a slot runs a nested event loop.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "main_loop_check.h"
#include "mcu_agent_qt.h"

namespace {

using namespace mcu_agent_test;

MainLoopDeliveries *g_record;
void on_table_frame(PACKET_MSG *msg) { g_record->table_frame(*msg); }
MCU_MSG_HANDLE_REGISTER g_table[] = {{static_cast<MCU_MSG_ID>(kMainLoopFrameId), on_table_frame},
                                     {MCU_MSG_MAX_ID, nullptr}};

class QtAdapter : public testing::TestWithParam<MainLoopCase> {};

TEST_P(QtAdapter, EveryFrameArrivesInOrderOnTheMainThread) {
    int argc = 1;
    char name[] = "qt_adapter_test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    MainLoopDeliveries record;
    g_record = &record;
    ASSERT_EQ(McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION), 0);
    McuAgentQt agent;
    ASSERT_TRUE(agent.isValid()) << agent.errorString().toStdString();
    const bool nested_loop = GetParam().nested_loop;
    QObject::connect(&agent, &McuAgentQt::messageReceived, [&](const PACKET_MSG &msg) {
        if (record.listened_frame(msg, nested_loop)) {
            const long before = thread_cpu_ms();
            QEventLoop nested;
            QTimer::singleShot(kNestedMs, &nested, &QEventLoop::quit);
            nested.exec();
            record.nested_cpu_ms = thread_cpu_ms() - before;
        }
        if (record.complete()) QCoreApplication::quit();
    });
    QObject::connect(&agent, &McuAgentQt::connectionChanged, [&](bool up) { record.connection_event(up); });

    AgentServer server;
    ASSERT_NE(McuAgent_client_init(g_table), nullptr);
    ASSERT_TRUE(server.accept_client());
    FrameSender sender(server);
    bool timed_out = false;
    QTimer::singleShot(60000, &app, [&] {
        timed_out = true;
        QCoreApplication::quit();
    });
    app.exec();
    EXPECT_TRUE(sender.join());
    EXPECT_FALSE(timed_out) << record.listened.size() << " frames in 60 s";
    record.expect_all_in_order_on_main();
    if (nested_loop) {
        EXPECT_LT(record.nested_cpu_ms, kNestedCpuLimitMs) << "the nested loop spun";
    }
    EXPECT_EQ(agent.shutdown(), 0);
    EXPECT_EQ(record.off_main.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, QtAdapter, testing::ValuesIn(kMainLoopCases), main_loop_case_name);

}  // namespace
