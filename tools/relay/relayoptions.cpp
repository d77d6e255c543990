#include "relayoptions.h"

#include "portnumber.h"
#include "udpdestination.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>

namespace {

// As the display takes its own store: a settings file is a few hundred
// bytes, and a huge one is damage, not worth the time and memory to parse.
constexpr qint64 kMaxSettingsFileBytes = 4 * 1024 * 1024;

const char kSummary[] =
    "Reads the mixing console's meter packets from a serial port and sends each\n"
    "valid packet, unchanged, to the meter displays over UDP: to 255.255.255.255\n"
    "(the default), to a multicast group, or to one host.";

RelayOptions failure(const QString &message)
{
    RelayOptions o;
    o.status = RelayOptions::Status::Error;
    o.message = message;
    return o;
}

} // namespace

RelayOptions parseRelayOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kSummary));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version and exits."));
    const QCommandLineOption serial(QStringLiteral("serial"),
                                    QStringLiteral("The console's serial port, e.g. ttyUSB0 or "
                                                   "/dev/serial/by-id/... (key serialport)."),
                                    QStringLiteral("port"));
    const QCommandLineOption interface(QStringLiteral("interface"),
                                       QStringLiteral("The local IPv4 address to send from; it chooses "
                                                      "the network card (key server_host). Default: any."),
                                       QStringLiteral("address"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The UDP port the displays listen on, 1 to 65535 "
                                                 "(key server_port)."),
                                  QStringLiteral("number"));
    const QCommandLineOption destination(QStringLiteral("destination"),
                                         QStringLiteral("Where to send: a multicast group (224.0.0.0 to "
                                                        "239.255.255.255) or one host's IPv4 address "
                                                        "(key server_destination). Default: 255.255.255.255."),
                                         QStringLiteral("address"));
    const QCommandLineOption ttl(QStringLiteral("ttl"),
                                 QStringLiteral("Router hops for a multicast group, 1 to 255 "
                                                "(key server_ttl). Default: 1, this network only."),
                                 QStringLiteral("hops"));
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Reads the keys above from a settings file, such as "
                                                     "the display's own; options given as well win."),
                                      QStringLiteral("file"));
    parser.addOptions({help, version, serial, interface, port, destination, ttl, settings});

    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(help)) {
        RelayOptions o;
        o.status = RelayOptions::Status::Help;
        // The toolkit names the program as it was called (./lumora-relay).
        QString text = parser.helpText();
        if (text.startsWith(QLatin1String("Usage: ")))
            text = QStringLiteral("Usage: lumora-relay") + text.mid(text.indexOf(QLatin1Char(' '), 7));
        o.message = text
            + QStringLiteral("\nIt logs each change of the link's state, and once a minute the packets\n"
                             "read, sent and failed, the bytes skipped while finding packets in the serial\n"
                             "stream and the reopens of the port. An --interface address that is not on\n"
                             "this PC yet is waited for, and checked every 5 seconds. SIGTERM or SIGINT\n"
                             "end it with status 0; a bad option or value ends it with status 2.\n");
        return o;
    }
    if (parser.isSet(version)) {
        RelayOptions o;
        o.status = RelayOptions::Status::Version;
        return o;
    }
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    RelayOptions o;
    CommSettings &link = o.link;
    link.use_udp = true;
    link.is_server = true;
    if (parser.isSet(settings)) {
        const QString file = parser.value(settings);
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable())
            return failure(QStringLiteral("--settings: cannot read '%1'").arg(file));
        if (info.size() > kMaxSettingsFileBytes)
            return failure(QStringLiteral("--settings: '%1' is larger than 4 MiB, so not a settings file").arg(file));
        QSettings s(file, QSettings::IniFormat);
        // The display writes its settings file in UTF-8.
        s.setIniCodec("UTF-8");
        if (s.status() != QSettings::NoError)
            return failure(QStringLiteral("--settings: '%1' is not a settings file").arg(file));
        link.serialport = s.value(QStringLiteral("serialport")).toString();
        link.server_host = s.value(QStringLiteral("server_host")).toString();
        link.server_port = s.value(QStringLiteral("server_port")).toString();
        link.server_destination = s.value(QStringLiteral("server_destination")).toString();
        link.server_ttl = s.value(QStringLiteral("server_ttl")).toString();
    }
    const auto take = [&parser](const QCommandLineOption &option, QString *field) {
        if (parser.isSet(option))
            *field = parser.value(option);
    };
    take(serial, &link.serialport);
    take(interface, &link.server_host);
    take(port, &link.server_port);
    take(destination, &link.server_destination);
    take(ttl, &link.server_ttl);

    // Every problem of the line at once, so one try mends them all.
    QStringList problems;
    if (link.serialport.trimmed().isEmpty())
        problems << QStringLiteral("--serial: the console's serial port is required");
    const auto number = parsePort(link.server_port);
    if (link.server_port.trimmed().isEmpty())
        problems << QStringLiteral("--port: the UDP port is required");
    else if (!number || *number == 0)
        problems << QStringLiteral("--port: '%1' is not a port number from 1 to 65535").arg(link.server_port);
    QHostAddress local;
    if (!link.server_host.isEmpty() && !parseDottedIPv4(link.server_host.trimmed(), &local))
        problems << QStringLiteral("--interface: '%1' is not an IPv4 address").arg(link.server_host);
    if (link.server_host.trimmed().isEmpty())
        link.server_host = QStringLiteral("0.0.0.0");  // any interface, as the routes decide
    const UdpDestination d = UdpDestination::parse(link.server_destination, link.server_ttl);
    if (d.kind == UdpDestination::Kind::Invalid) {
        const bool ttlAtFault = !link.server_ttl.isEmpty() && d.problemValue == link.server_ttl;
        problems << QStringLiteral("%1: '%2': %3")
                        .arg(ttlAtFault ? QStringLiteral("--ttl") : QStringLiteral("--destination"),
                             d.problemValue, d.problem);
    }
    if (!problems.isEmpty())
        return failure(problems.join(QStringLiteral("\nlumora-relay: ")));
    return o;
}
