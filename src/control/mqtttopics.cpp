#include "mqtttopics.h"

namespace MqttTopics {

Broker parseBroker(const QString &url)
{
    Broker b;
    QString rest = url.trimmed();
    if (rest.startsWith(QLatin1String("mqtts://"), Qt::CaseInsensitive)) {
        b.tls = true;
        rest = rest.mid(8);
    } else if (rest.startsWith(QLatin1String("mqtt://"), Qt::CaseInsensitive)) {
        rest = rest.mid(7);
    } else {
        b.error = QStringLiteral("is not mqtt://HOST:PORT or mqtts://HOST:PORT");
        return b;
    }
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    if (rest.contains(QLatin1Char('@'))) {
        b.error = QStringLiteral("names no host (a login goes in mqtt_user and mqtt_password)");
        return b;
    }
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) {
            b.error = QStringLiteral("has an IPv6 address without its closing ]");
            return b;
        }
        b.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':'))) {
            b.error = QStringLiteral("has something after the address that is no :PORT");
            return b;
        }
        portText = after.mid(1);
    } else {
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        b.host = colon < 0 ? rest : rest.left(colon);
        portText = colon < 0 ? QString() : rest.mid(colon + 1);
        if (b.host.contains(QLatin1Char(':'))) {
            b.error = QStringLiteral("has an IPv6 address that is not in brackets ([::1]:1883)");
            return b;
        }
    }
    if (b.host.isEmpty() || b.host.contains(QLatin1Char('/'))) {
        b.error = QStringLiteral("names no host");
        return b;
    }
    if (portText.isEmpty() && (rest.endsWith(QLatin1Char(':')))) {
        b.error = QStringLiteral("has an empty port");
        return b;
    }
    b.port = b.tls ? 8883 : 1883;
    if (!portText.isEmpty()) {
        bool digits = portText.size() <= 5;
        for (const QChar c : portText)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const int port = digits ? portText.toInt() : 0;
        if (port < 1 || port > 65535) {
            b.error = QStringLiteral("has a port that is not 1 to 65535");
            return b;
        }
        b.port = port;
    }
    b.ok = true;
    return b;
}

namespace {
QString topicSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text.toLower()) {
        const bool keep = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                          || c == QLatin1Char('-');
        out += keep ? c : QLatin1Char('-');
    }
    return out;
}
} // namespace

QString displayId(const QString &setting, const QString &hostName, const QString &instance)
{
    const QString chosen = setting.trimmed();
    QString id = topicSafe(!chosen.isEmpty() ? chosen
                                             : hostName.trimmed() + (instance.isEmpty() ? QString() : QLatin1Char('-') + instance));
    if (id.isEmpty() || id == QLatin1String("all") || id == QLatin1String("group"))
        id = QStringLiteral("lumora") + (id.isEmpty() ? QString() : QLatin1Char('-') + id);
    return id;
}

QStringList groups(const QString &setting, QStringList *refused)
{
    QStringList out;
    for (const QString &item : setting.split(QLatin1Char(','))) {
        const QString name = item.trimmed();
        if (name.isEmpty() && setting.trimmed().isEmpty())
            continue;
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('+'))
            || name.contains(QLatin1Char('#'))) {
            if (refused)
                *refused << name;
            continue;
        }
        if (!out.contains(name))
            out << name;
    }
    return out;
}

Topics topics(const QString &prefix, const QString &id, const QStringList &groups)
{
    const QByteArray p = prefix.trimmed().toUtf8();
    const QByteArray me = p + '/' + id.toUtf8();
    Topics t;
    t.availability = me + "/availability";
    t.state = me + "/state";
    t.cmd = me + "/cmd";
    t.reply = me + "/reply";
    t.all = p + "/all/cmd";
    for (const QString &g : groups)
        t.groups << p + "/group/" + g.toUtf8() + "/cmd";
    return t;
}

} // namespace MqttTopics
