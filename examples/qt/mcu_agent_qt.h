// mcu_agent_qt.h - the MCU agent client library's deliveries on a Qt event
// loop.
//
// In the application's dispatch mode the library runs nothing of the
// application on its own threads: handlers, listeners, connection events
// and call completions wait until the application calls McuAgent_dispatch,
// and McuAgent_get_fd is readable exactly while some wait.  McuAgentQt
// watches that descriptor with a QSocketNotifier and dispatches on the
// thread it lives on, so every delivery runs there, in order, and can touch
// that thread's objects (widgets, models) without locks.
//
//     McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION);  // first
//     McuAgentQt agent;
//     QObject::connect(&agent, &McuAgentQt::messageReceived, ...);
//     QObject::connect(&agent, &McuAgentQt::connectionChanged, ...);
//     McuAgent_client_init(table);   // the table's handlers run here too
//     app.exec();
//     agent.shutdown();              // instead of McuAgent_shutdown()
//
// One per process (the library has one connection).  Copy the two files
// into the application; they use only <mcu_agent_api.h> and Qt Core.
#ifndef MCU_AGENT_QT_H
#define MCU_AGENT_QT_H

#include <QObject>
#include <QString>

#include <mcu_agent_api.h>

class QSocketNotifier;

// A PACKET_MSG travels by value through queued connections.
Q_DECLARE_METATYPE(PACKET_MSG)

class McuAgentQt : public QObject {
    Q_OBJECT
public:
    // Deliveries run at most this many at a time before the event loop
    // gets control back (timers, input, repaints); the descriptor stays
    // readable, so the rest follow on the next turn.
    static constexpr int kBatch = 64;

    // Watches the library's descriptor and listens to every message and
    // to connection changes.  The library must be in the application's
    // dispatch mode; isValid() says whether it could watch.  Made before
    // McuAgent_client_init it hears the first connection's 1; made later
    // it hears 1 first when a connection stands, and nothing waiting is
    // lost either way.
    explicit McuAgentQt(QObject *parent = nullptr);
    // Removes its listeners.  From a slot connected to it, use
    // deleteLater() instead of delete.
    ~McuAgentQt() override;

    bool isValid() const { return notifier_ != nullptr; }
    // Why it is not valid.
    QString errorString() const { return error_; }

    // Stops the library (McuAgent_shutdown): what was received is still
    // delivered, here, through the signals, then the connection's false;
    // then the descriptor is closed, and the notifier goes first.  The
    // result of McuAgent_shutdown.  Call this rather than McuAgent_shutdown
    // itself, which would leave the notifier on a closed descriptor.  A
    // library started again needs a new McuAgentQt.
    int shutdown();

signals:
    // One per inbound message, after the registration table's handler, in
    // the order the MCU sent them.  Through a direct connection the
    // reference is valid during the slot only; queued connections copy.
    void messageReceived(const PACKET_MSG &message);
    // true before the first message of a connection, false after its last.
    void connectionChanged(bool connected);

private:
    void dispatch();
    void fail(const char *what);
    static void onMessage(const PACKET_MSG *msg, void *self);
    static void onConnection(int connected, void *self);

    QSocketNotifier *notifier_ = nullptr;
    MCU_AGENT_LISTENER messages_ = 0;
    MCU_AGENT_LISTENER connection_ = 0;
    bool dispatching_ = false;
    QString error_;
};

#endif
