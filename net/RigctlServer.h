#pragma once

#include "net/RigctlSession.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <unordered_map>

class QTcpServer;
class QTimer;
class QTcpSocket;

namespace kalimor::rig {

// Where to listen: "--rigctld" alone, "--rigctld=PORT" or "--rigctld=ADDR:PORT"
// ("[::1]:4532" for IPv6). Loopback unless an address is named. Only a dotted
// IPv4 address of four numbers or a bracketed IPv6 address is taken; an
// IPv4-mapped IPv6 address means its IPv4 address.
struct Endpoint {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 4532;
    QString text() const;
    // Anyone who can reach the machine can tune the board.
    bool reachableFromNetwork() const { return !address.isLoopback(); }
};
std::optional<Endpoint> parseEndpoint(const QString& text);

// A rigctld server on the event loop's thread: each client gets its own
// Session, lines are framed at '\n', and a turn's replies go out in one write.
//
// No client can take the program down or starve the others: each is served
// at most LinesPerTurn lines before the event loop (and every other client)
// gets its turn, reads stop while LinesPerTurn lines' worth waits unread, a
// client whose unread replies pass MaxPendingOutput is dropped, and when
// MaxClients are connected a new one takes the place of the one idle longest.
class Server : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxClients = 64;
    // A turn of a pipelining client costs a pass of the event loop and a write
    // of its replies; 64 lines take at most a couple of milliseconds.
    static constexpr int LinesPerTurn = 64;
    static constexpr qint64 MaxPendingOutput = 64 * 1024;
    static constexpr qint64 MaxPendingInput = 64 * 1024;

    Server(Rig& rig, QObject* parent = nullptr);
    ~Server() override;

    // False, with the reason in `error`, when the port cannot be had.
    bool listen(const Endpoint& endpoint, QString* error);
    int clientCount() const { return static_cast<int>(m_clients.size()); }
    Endpoint endpoint() const { return m_endpoint; }
    // "rigctld on 127.0.0.1:4532, 1 client", then the mode and PTT once a
    // client has set them: ", USB, PTT off"
    QString status() const;
    const RigState& state() const { return m_state; }

Q_SIGNALS:
    void statusChanged(const QString& status);

private:
    struct Client;
    void accept();
    void serve(QTcpSocket* socket);
    void serveTurn(const std::shared_ptr<Client>& client);
    void drop(Client& client, const char* why);
    void releaseWaiting();

    Rig& m_rig;
    RigState m_state;
    QTcpServer* m_server;
    QTimer* m_morseWatch;
    Endpoint m_endpoint;
    std::unordered_map<QTcpSocket*, std::shared_ptr<Client>> m_clients;
};

} // namespace kalimor::rig
