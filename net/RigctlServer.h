#pragma once

#include "net/RigctlSession.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace kalimor::rig {

// Where to listen: "--rigctld" alone, "--rigctld=PORT" or "--rigctld=ADDR:PORT"
// ("[::1]:4532" for IPv6). Loopback unless an address is named.
struct Endpoint {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 4532;
    QString text() const;
};
std::optional<Endpoint> parseEndpoint(const QString& text);

// A rigctld server on the event loop's thread: each client gets its own
// Session, lines are framed at '\n', and each reply goes out in one write.
class Server : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxLine = 1024;
    static constexpr int MaxClients = 64;

    Server(Rig& rig, QObject* parent = nullptr);
    ~Server() override;

    // False, with the reason in `error`, when the port cannot be had.
    bool listen(const Endpoint& endpoint, QString* error);
    int clientCount() const { return m_clients; }
    Endpoint endpoint() const { return m_endpoint; }
    // "rigctld on 127.0.0.1:4532, 1 client", then the mode and PTT once a
    // client has set them: ", USB, PTT off"
    QString status() const;
    const RigState& state() const { return m_state; }

Q_SIGNALS:
    void statusChanged(const QString& status);

private:
    void accept();
    void serve(QTcpSocket* socket);

    Rig& m_rig;
    RigState m_state;
    QTcpServer* m_server;
    Endpoint m_endpoint;
    int m_clients = 0;
};

} // namespace kalimor::rig
