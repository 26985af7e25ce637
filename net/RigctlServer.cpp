#include "RigctlServer.h"

#include "net/LineFramer.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcRigctld, "kalimor.rigctld")

namespace kalimor::rig {

struct Server::Client {
    Client(QTcpSocket* s, Rig& rig, RigState& state) : socket(s), session(rig, state) {
        idle.start();
    }
    QTcpSocket* socket;
    QTimer* turn = nullptr; // the client's next turn, after everyone else's
    Session session;
    LineFramer framer;
    QElapsedTimer idle;     // since the client last sent a line
    bool scheduled = false; // a turn is queued on the event loop
    bool gone = false;
    std::optional<std::string> held; // \wait_morse's reply, until the keyer is done
};

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
        if (!host.contains(QLatin1Char(':'))) return std::nullopt; // brackets are for IPv6
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':'))) return std::nullopt; // IPv6 needs brackets
        // QHostAddress would read "1.2.3" as 1.2.0.3 and "1" as 0.0.0.1.
        static const QRegularExpression dotted(
            QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|"
                           "1[0-9][0-9]|[1-9]?[0-9])){3}$"));
        if (!dotted.match(host).hasMatch()) return std::nullopt;
    }
    // Digits only: toUInt would take "+4533" and " 4533".
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(port).hasMatch()) return std::nullopt;
    const uint p = port.toUInt();
    if (p == 0 || p > 65535) return std::nullopt;
    e.port = static_cast<quint16>(p);
    if (!host.isEmpty() && !e.address.setAddress(host)) return std::nullopt;
    bool mapped = false;
    const quint32 v4 = e.address.toIPv4Address(&mapped);
    if (mapped && e.address.protocol() == QAbstractSocket::IPv6Protocol &&
        host.contains(QLatin1Char('.')))
        e.address = QHostAddress(v4); // [::ffff:127.0.0.1] is 127.0.0.1
    return e;
}

Server::Server(Rig& rig, QObject* parent)
    : QObject(parent), m_rig(rig), m_server(new QTcpServer(this)), m_morseWatch(new QTimer(this)) {
    m_server->setMaxPendingConnections(MaxClients);
    connect(m_server, &QTcpServer::newConnection, this, &Server::accept);
    // Clients waiting for the keyer are let go as soon as it is done.
    m_morseWatch->setInterval(20);
    connect(m_morseWatch, &QTimer::timeout, this, &Server::releaseWaiting);
}

void Server::releaseWaiting() {
    if (m_rig.morseBusy()) return;
    m_morseWatch->stop();
    for (auto& [socket, client] : m_clients) {
        if (!client->held || client->gone) continue;
        client->session.stopWaiting();
        socket->write(client->held->data(), static_cast<qint64>(client->held->size()));
        client->held.reset();
        client->scheduled = true;
        client->turn->start();
    }
}

Server::~Server() {
    for (auto& [socket, client] : m_clients) {
        client->gone = true;
        socket->disconnect(this);
    }
}

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
    const int clients = clientCount();
    QString text = QStringLiteral("rigctld on %1, %2 client%3")
                       .arg(m_endpoint.text())
                       .arg(clients)
                       .arg(clients == 1 ? QString() : QStringLiteral("s"));
    if (m_state.touched)
        text += QStringLiteral(", %1, PTT %2")
                    .arg(QString::fromStdString(m_state.mode),
                         m_state.ptt ? QStringLiteral("on") : QStringLiteral("off"));
    return text;
}

void Server::accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (clientCount() >= MaxClients) {
            // Idle connections must not lock real clients out: the one that
            // has said nothing for longest makes room.
            auto oldest = m_clients.begin();
            for (auto it = m_clients.begin(); it != m_clients.end(); ++it)
                if (it->second->idle.nsecsElapsed() > oldest->second->idle.nsecsElapsed())
                    oldest = it;
            drop(*oldest->second, "the connection limit was reached and it was idle longest");
        }
        serve(socket);
    }
}

void Server::drop(Client& client, const char* why) {
    if (client.gone) return;
    qCWarning(lcRigctld, "dropped rigctld client %s:%u: %s",
              qPrintable(client.socket->peerAddress().toString()), client.socket->peerPort(), why);
    client.socket->abort(); // emits disconnected, which forgets the client
}

void Server::serve(QTcpSocket* socket) {
    // Qt stops reading from the system once this much waits in its buffer, so
    // a flooding client is held back by TCP instead of by our memory.
    socket->setReadBufferSize(MaxPendingInput);
    // Each turn's replies go out as one small write; without this each after
    // the first waits for the client's delayed ACK (tens of ms), which a
    // client that pipelines its lines feels on every turn.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto client = std::make_shared<Client>(socket, m_rig, m_state);
    // A timer object of its own, not QTimer::singleShot(0): from Qt 6.8 on
    // that is a posted event, and posted events run before the other
    // sockets are read, so a flood would be served to its end first. A zero
    // timer fires only once the pending input has been seen to.
    client->turn = new QTimer(socket);
    client->turn->setSingleShot(true);
    client->turn->setInterval(0);
    connect(client->turn, &QTimer::timeout, this, [this, socket] {
        if (const auto it = m_clients.find(socket); it != m_clients.end()) serveTurn(it->second);
    });
    m_clients.emplace(socket, client);
    Q_EMIT statusChanged(status());
    connect(socket, &QTcpSocket::readyRead, this, [this, client] { serveTurn(client); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        const auto it = m_clients.find(socket);
        if (it == m_clients.end()) return;
        it->second->gone = true;
        m_clients.erase(it);
        Q_EMIT statusChanged(status());
        socket->deleteLater();
    });
}

void Server::serveTurn(const std::shared_ptr<Client>& client) {
    client->scheduled = false;
    if (client->gone || client->held) return; // its lines wait behind \wait_morse
    QTcpSocket* socket = client->socket;
    std::string line;
    // The turn's replies go out together: a write (and a packet) per line
    // was most of what a pipelined read cost.
    std::string out;
    const auto send = [&] {
        if (!out.empty()) socket->write(out.data(), static_cast<qint64>(out.size()));
    };
    for (int served = 0; served < LinesPerTurn;) {
        if (client->framer.buffered() < LineFramer::MaxLine && socket->bytesAvailable() > 0) {
            const QByteArray bytes =
                socket->read(std::min(socket->bytesAvailable(), MaxPendingInput));
            client->framer.feed(std::string_view(bytes.constData(), size_t(bytes.size())));
        }
        const LineFramer::Item item = client->framer.next(&line);
        if (item == LineFramer::Item::None) {
            if (socket->bytesAvailable() > 0) continue;
            return send();
        }
        // Idle since the turn's first line: a clock read a line was 4 % of a read.
        if (served++ == 0) client->idle.restart();
        bool quit = false;
        std::string reply;
        if (item == LineFramer::Item::TooLong) {
            reply = Session::lineTooLong();
        } else {
            const RigState before = m_state;
            reply = client->session.handle(line, &quit);
            if (before.mode != m_state.mode || before.ptt != m_state.ptt ||
                before.touched != m_state.touched)
                Q_EMIT statusChanged(status());
        }
        if (client->session.waiting()) {
            send();
            client->held = reply;
            if (!m_morseWatch->isActive()) m_morseWatch->start();
            return;
        }
        out += reply;
        if (socket->bytesToWrite() + qint64(out.size()) > MaxPendingOutput)
            return drop(*client, "it does not read its replies");
        if (quit) {
            send();
            client->gone = true;
            socket->disconnectFromHost();
            return;
        }
    }
    send();
    // More may wait: come back after everyone else has had a turn.
    if (!client->scheduled) {
        client->scheduled = true;
        client->turn->start();
    }
}

} // namespace kalimor::rig
