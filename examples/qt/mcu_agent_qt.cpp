// mcu_agent_qt.cpp - see mcu_agent_qt.h.
#include "mcu_agent_qt.h"

#include <errno.h>
#include <string.h>

#include <QSocketNotifier>
#include <QTimer>

McuAgentQt::McuAgentQt(QObject *parent) : QObject(parent) {
    qRegisterMetaType<PACKET_MSG>("PACKET_MSG");
    const int fd = McuAgent_get_fd();
    if (fd < 0) {
        fail("McuAgent_get_fd (is McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION) called first?)");
        return;
    }
    messages_ = McuAgent_add_listener(MCU_AGENT_ANY_MESSAGE, &McuAgentQt::onMessage, this);
    if (!messages_) {
        fail("McuAgent_add_listener");
        return;
    }
    connection_ = McuAgent_add_connection_listener(&McuAgentQt::onConnection, this);
    if (!connection_) {
        fail("McuAgent_add_connection_listener");
        McuAgent_remove_listener(messages_);
        messages_ = 0;
        return;
    }
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { dispatch(); });
}

McuAgentQt::~McuAgentQt() {
    // After McuAgent_shutdown the library removed them already (ENOENT).
    if (messages_) McuAgent_remove_listener(messages_);
    if (connection_) McuAgent_remove_listener(connection_);
}

int McuAgentQt::shutdown() {
    if (notifier_) notifier_->setEnabled(false);
    const int result = McuAgent_shutdown();
    if (result == 0) {
        delete notifier_;
        notifier_ = nullptr;
        messages_ = connection_ = 0;  // removed by the library
        error_ = QStringLiteral("shut down");
    } else if (notifier_) {
        notifier_->setEnabled(true);
    }
    return result;
}

void McuAgentQt::fail(const char *what) {
    error_ = QStringLiteral("%1: %2").arg(QString::fromUtf8(what), QString::fromLocal8Bit(strerror(errno)));
}

void McuAgentQt::dispatch() {
    if (dispatching_) {
        // A slot runs a nested event loop (a modal dialog, say) inside a
        // delivery.  Deliveries do not nest, and the descriptor stays
        // readable, so the notifier rests until the outer delivery ends.
        notifier_->setEnabled(false);
        return;
    }
    dispatching_ = true;
    const int ran = McuAgent_dispatch(kBatch);
    const int error = errno;
    dispatching_ = false;
    if (!notifier_) return;  // a slot called shutdown()
    if (ran < 0 && error == EBUSY) {
        // Another thread dispatches now: look again shortly rather than
        // spin on the readable descriptor.
        notifier_->setEnabled(false);
        QTimer::singleShot(10, this, [this] {
            if (notifier_) notifier_->setEnabled(true);
        });
        return;
    }
    notifier_->setEnabled(true);
}

void McuAgentQt::onMessage(const PACKET_MSG *msg, void *self) {
    emit static_cast<McuAgentQt *>(self)->messageReceived(*msg);
}

void McuAgentQt::onConnection(int connected, void *self) {
    emit static_cast<McuAgentQt *>(self)->connectionChanged(connected != 0);
}
