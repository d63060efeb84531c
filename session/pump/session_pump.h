#pragma once
// Drives a ClientSession from the Qt event loop. The session's wait set (its sockets and its
// next deadline) becomes socket notifiers and one timer, so the engine runs exactly when a
// socket is ready or something falls due, and an idle client costs nothing. The session's
// events become signals.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <map>
#include <memory>

#include "session/client_session.h"

namespace orv {

class SessionPump : public QObject {
    Q_OBJECT
  public:
    SessionPump(ClientSession& session, const Clock& clock, QObject* parent = nullptr);
    ~SessionPump() override;

    // Services the session once the event loop is back, and keeps doing so. Call after a user
    // action changed the tables or started an operation, so it takes effect without waiting.
    void kick();
    // Stops watching (before the session shuts down).
    void stop();

    // How often the session has been serviced (for tests and the idle benchmark).
    quint64 serviceCount() const { return services_; }

  Q_SIGNALS:
    // Each event of the session, once, in the order it happened (during a service).
    void sessionEvent(const orv::SessionEvent& event);
    // After every service, once its events were emitted: where a window refreshes what the
    // events of that service marked as changed.
    void serviced();

  private:
    void run();
    void rearm();
    void onReady();

    struct Watch {
        std::unique_ptr<QSocketNotifier> read, write;
    };
    ClientSession& session_;
    const Clock& clock_;
    std::map<int, Watch> watches_;
    QTimer deadline_;
    QTimer soon_;  // zero-delay: coalesces readiness into one service
    WaitSet set_;
    quint64 services_ = 0;
    bool stopped_ = false;
};

}  // namespace orv
