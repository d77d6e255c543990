#pragma once

// Clients by hand for the web remote's tests: an HTTP request on a socket of
// its own, and a WebSocket client that does only what a test tells it.
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>

struct Response
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
};

// A request on a socket of its own (the server closes each connection).
// QNetworkAccessManager would be the usual client, but its bearer thread
// races inside Qt where ThreadSanitizer cannot see Qt's locks. A POST's
// Content-Length comes first after Host, unless the headers give their own;
// an empty one leaves it out.
inline Response httpRequest(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body,
                     const QList<QPair<QByteArray, QByteArray>> &headers,
                     const QHostAddress &from = QHostAddress::LocalHost)
{
    QTcpSocket socket;
    QByteArray raw;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { raw += socket.readAll(); });
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
    QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    const bool ownLength = std::any_of(headers.begin(), headers.end(),
                                       [](const auto &h) { return h.first == "Content-Length"; });
    if (method == "POST" && !ownLength)
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto &h : headers) {
        if (!h.second.isEmpty())
            request += h.first + ": " + h.second + "\r\n";
    }
    socket.write(request + "\r\n" + body);
    if (!closed.wait(10000))
        return {};
    raw += socket.readAll();
    Response r;
    const int end = raw.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = raw.left(end).split('\n');
    r.status = lines.value(0).split(' ').value(1).toInt();
    for (const QByteArray &line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        r.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    r.body = raw.mid(end + 4);
    return r;
}

// A WebSocket client by hand on a plain socket: it does the handshake and
// sends frames, and never answers a close frame. With `reading` false it
// takes nothing from its socket once the handshake is done.
struct RawSocket
{
    QTcpSocket socket;
    QByteArray received;

    bool open(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                     + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                       "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        return QTest::qWaitFor([this] { return received.contains("\r\n\r\n"); }, 5000)
               && received.startsWith("HTTP/1.1 101");
    }
    // A masked text frame whose header announces `announced` bytes.
    void send(const QByteArray &payload, quint64 announced = 0)
    {
        announced = announced ? announced : quint64(payload.size());
        QByteArray f(1, char(0x81));
        // The shortest length form, as the protocol asks: a longer one
        // would be refused for that alone.
        if (announced < 126) {
            f += char(0x80 | announced);
        } else if (announced <= 0xffff) {
            f += char(0x80 | 126);
            f += char(announced >> 8);
            f += char(announced & 0xff);
        } else {
            f += char(0x80 | 127);
            for (int i = 7; i >= 0; --i)
                f += char((announced >> (8 * i)) & 0xff);
        }
        f += QByteArray(4, '\0');  // a mask of zeros leaves the payload as it is
        socket.write(f + payload);
    }
    bool gone() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    // The code of the server's close frame, 0 when none came.
    int closeCode() const
    {
        const QByteArray frames = received.mid(received.indexOf("\r\n\r\n") + 4);
        for (int at = 0; at + 2 <= frames.size();) {
            const int opcode = frames[at] & 0x0f;
            qint64 length = frames[at + 1] & 0x7f;
            int header = 2;
            if (length == 126) {
                length = (quint8(frames[at + 2]) << 8) | quint8(frames[at + 3]);
                header = 4;
            } else if (length == 127) {
                return 0;  // the server sends nothing this long
            }
            if (opcode == 0x8 && length >= 2 && at + 4 <= frames.size())
                return (quint8(frames[at + 2]) << 8) | quint8(frames[at + 3]);
            at += header + int(length);
        }
        return 0;
    }
};
