#pragma once

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <vector>

// A relay between a copy and the server on 127.0.0.1 that can drop the
// link at a chosen byte of the server's answers: as a network does when a
// cable is pulled after the commit was sent and before its answer came.
class Relay final : public QObject {
public:
    explicit Relay(quint16 serverPort) : serverPort_(serverPort) {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = server_.nextPendingConnection())
                pipe(client);
        });
    }
    quint16 port() const { return server_.serverPort(); }
    // From now on `pass` more bytes of the server's go through, then every
    // link is cut.
    void cutAfter(qint64 pass) {
        armed_ = true;
        remaining_ = pass;
    }
    int connections() const { return connections_; }
    int cuts() const { return cuts_; }

private:
    void pipe(QTcpSocket* client) {
        ++connections_;
        auto* upstream = new QTcpSocket(client);
        client->setParent(this);
        upstream->connectToHost(QHostAddress::LocalHost, serverPort_);
        connect(client, &QTcpSocket::readyRead, upstream,
                [client, upstream] { upstream->write(client->readAll()); });
        connect(upstream, &QTcpSocket::readyRead, client, [this, client, upstream] {
            QByteArray data = upstream->readAll();
            if (armed_ && data.size() > remaining_) {
                client->write(data.left(remaining_));
                client->flush();
                armed_ = false;
                ++cuts_;
                client->abort();
                upstream->abort();
                return;
            }
            if (armed_)
                remaining_ -= data.size();
            client->write(data);
        });
        connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
        connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    }
    QTcpServer server_;
    quint16 serverPort_;
    bool armed_ = false;
    qint64 remaining_ = 0;
    int connections_ = 0;
    int cuts_ = 0;
};
