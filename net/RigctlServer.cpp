#include "RigctlServer.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace kalimor::rig {

namespace {

// What each connection keeps between reads.
struct Connection {
    Connection(Rig& rig, RigState& state) : session(rig, state) {}
    Session session;
    QByteArray pending;
    bool discarding = false; // inside a line that grew too long
};

} // namespace

QString Endpoint::text() const {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

std::optional<Endpoint> parseEndpoint(const QString& text) {
    Endpoint e;
    if (text.isEmpty()) return e;
    QString host, port = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QStringLiteral("]:"));
        if (close < 0) return std::nullopt;
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':'))) return std::nullopt; // IPv6 needs brackets
    }
    bool ok = false;
    const uint p = port.toUInt(&ok);
    if (!ok || p == 0 || p > 65535) return std::nullopt;
    e.port = static_cast<quint16>(p);
    if (!host.isEmpty() && !e.address.setAddress(host)) return std::nullopt;
    return e;
}

Server::Server(Rig& rig, QObject* parent)
    : QObject(parent), m_rig(rig), m_server(new QTcpServer(this)) {
    m_server->setMaxPendingConnections(MaxClients);
    connect(m_server, &QTcpServer::newConnection, this, &Server::accept);
}

Server::~Server() = default;

bool Server::listen(const Endpoint& endpoint, QString* error) {
    m_endpoint = endpoint;
    if (m_server->listen(endpoint.address, endpoint.port)) {
        m_endpoint.port = m_server->serverPort();
        Q_EMIT statusChanged(status());
        return true;
    }
    *error =
        QStringLiteral("cannot listen on %1: %2").arg(endpoint.text(), m_server->errorString());
    return false;
}

QString Server::status() const {
    QString text = QStringLiteral("rigctld on %1, %2 client%3")
                       .arg(m_endpoint.text())
                       .arg(m_clients)
                       .arg(m_clients == 1 ? QString() : QStringLiteral("s"));
    if (m_state.touched)
        text += QStringLiteral(", %1, PTT %2")
                    .arg(QString::fromStdString(m_state.mode),
                         m_state.ptt ? QStringLiteral("on") : QStringLiteral("off"));
    return text;
}

void Server::accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (m_clients >= MaxClients) {
            socket->write("RPRT -9\n"); // rejected: too many clients
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        serve(socket);
    }
}

void Server::serve(QTcpSocket* socket) {
    ++m_clients;
    Q_EMIT statusChanged(status());
    auto connection = std::make_shared<Connection>(m_rig, m_state);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, connection] {
        connection->pending += socket->readAll();
        for (;;) {
            const qsizetype nl = connection->pending.indexOf('\n');
            if (nl < 0) {
                if (connection->pending.size() > MaxLine) {
                    // Not a command any more: drop it and say so once.
                    connection->pending.clear();
                    if (!connection->discarding) socket->write(Session::lineTooLong().c_str());
                    connection->discarding = true;
                }
                return;
            }
            QByteArray line = connection->pending.left(nl);
            connection->pending.remove(0, nl + 1);
            if (connection->discarding) {
                connection->discarding = false; // the rest of the long line
                continue;
            }
            if (line.size() > MaxLine) {
                socket->write(Session::lineTooLong().c_str());
                continue;
            }
            bool quit = false;
            const RigState before = m_state;
            const std::string reply = connection->session.handle(
                std::string_view(line.constData(), static_cast<size_t>(line.size())), &quit);
            if (!reply.empty()) socket->write(reply.data(), static_cast<qint64>(reply.size()));
            if (before.mode != m_state.mode || before.ptt != m_state.ptt ||
                before.touched != m_state.touched)
                Q_EMIT statusChanged(status());
            if (quit) {
                socket->disconnectFromHost();
                return;
            }
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        --m_clients;
        Q_EMIT statusChanged(status());
        socket->deleteLater();
    });
}

} // namespace kalimor::rig
