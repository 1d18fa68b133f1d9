// main.cpp - the Qt adapter in use: a headless Qt application whose
// deliveries all run on its main thread.  It prints every message it is
// given (by field name), answers the MCU's version request, then asks for
// a few states one after the other with McuAgent_call_async, each
// completion (also on the main thread) starting the next request.
//
// Exit status: 0 when every request was answered and every delivery ran on
// the main thread, 1 otherwise, 2 when the agent could not be reached.
#include <stdio.h>
#include <string.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include "mcu_agent_qt.h"

namespace {

struct Request {
    const char *name;
    MCU_AGENT_REQUEST send;
};

const Request kRequests[] = {
    {"McuAgent_get_ign_on_off_status", McuAgent_get_ign_on_off_status},
    {"McuAgent_get_audio_power", McuAgent_get_audio_power},
    {"McuAgent_get_audio_source", McuAgent_get_audio_source},
    {"McuAgent_get_mainboard_version_info", McuAgent_get_mainboard_version_info},
};
constexpr int kRequestCount = sizeof kRequests / sizeof kRequests[0];

int g_next = 0;         // the next request to make
int g_answered = 0;
int g_off_main = 0;     // deliveries that ran on another thread (must stay 0)

void on_main_thread_or_count() {
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++g_off_main;
}

void answer_version(uint8_t type) {
    static const char text[] = "qt-demo 1.0";
    VERSION_INFO info;
    memset(&info, 0, sizeof info);
    info.type = type == VERSION_TYPE_BT ? VERSION_TYPE_BT : VERSION_TYPE_HMI;
    info.size = sizeof text - 1;
    memcpy(info.version_buffer, text, info.size);
    printf("-> McuAgent_send_version_info(\"%s\") = %d\n", text, McuAgent_send_version_info(&info));
}

void request_next();

void on_answer(MCU_AGENT_CALL_RESULT result, const PACKET_MSG *answer, void *user) {
    on_main_thread_or_count();
    const Request *r = static_cast<const Request *>(user);
    printf("   %s: %s%s%s\n", r->name, McuAgent_call_result_text(result), answer ? ", " : "",
           answer ? McuAgent_msg_name(answer->mcu_msg_id) : "");
    g_answered += result == MCU_AGENT_CALL_OK;
    request_next();
}

void request_next() {
    if (g_next == kRequestCount) {
        QCoreApplication::quit();
        return;
    }
    const Request &r = kRequests[g_next++];
    const MCU_AGENT_CALL_RESULT sent = McuAgent_call_async(r.send, 1000, on_answer, const_cast<Request *>(&r), nullptr);
    printf("-> %s: %s\n", r.name, sent == MCU_AGENT_CALL_OK ? "sent" : McuAgent_call_result_text(sent));
    if (sent != MCU_AGENT_CALL_OK) request_next();
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    if (McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION) != 0) {
        perror("McuAgent_set_dispatch_mode");
        return 2;
    }
    McuAgentQt agent;
    if (!agent.isValid()) {
        fprintf(stderr, "%s\n", qPrintable(agent.errorString()));
        return 2;
    }
    QObject::connect(&agent, &McuAgentQt::messageReceived, [](const PACKET_MSG &msg) {
        on_main_thread_or_count();
        char line[1024];
        McuAgent_format_msg(&msg, line, sizeof line);
        printf("<- %s\n", line);
        if (msg.mcu_msg_id == MCU_MSG_GET_VERSION_INFO) answer_version(msg.data[0]);
    });
    QObject::connect(&agent, &McuAgentQt::connectionChanged, [](bool connected) {
        on_main_thread_or_count();
        printf("connection: %s\n", connected ? "up" : "down");
        if (!connected) QCoreApplication::quit();
    });
    if (!McuAgent_client_init(nullptr)) {  // no table: the signals carry everything
        printf("cannot reach the agent: is mcu-agent-sim running?\n");
        return 2;
    }
    printf("-> McuAgent_hmi_startup() = %d\n", McuAgent_hmi_startup());
    QTimer::singleShot(0, [] { request_next(); });  // once the loop runs
    QTimer::singleShot(10000, [] {
        printf("   !! gave up after 10 s\n");
        QCoreApplication::quit();
    });
    app.exec();
    agent.shutdown();
    printf("%d of %d requests answered; deliveries off the main thread: %d\n", g_answered, kRequestCount, g_off_main);
    return g_answered == kRequestCount && g_off_main == 0 ? 0 : 1;
}
