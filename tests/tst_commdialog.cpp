#include "ccommdialog.h"
#include "commsettings.h"
#include "logging.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QPointer>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

#include <pty.h>
#include <unistd.h>

using CloseAction = void (*)(QWidget *dialog);

Q_DECLARE_METATYPE(CommSettings)
Q_DECLARE_METATYPE(SerialPortEntry)
Q_DECLARE_METATYPE(CloseAction)

char *toString(const CommSettings &s)
{
    const QString text = QStringLiteral("{is_server=%1 use_udp=%2 serialport=%3 server=%4:%5 client=%6:%7}")
                             .arg(s.is_server).arg(s.use_udp).arg(s.serialport, s.server_host, s.server_port,
                                                                    s.client_host, s.client_port);
    return qstrdup(qPrintable(text));
}

namespace {

// A studio PC: the mainboard port without a description, two USB adapters,
// and a host name that resolves to an IPv6 link-local and two IPv4 addresses.
CommSources studioPc()
{
    return {{{QStringLiteral("ttyS0"), QString()},
             {QStringLiteral("ttyUSB0"), QStringLiteral("FT232R USB UART")},
             {QStringLiteral("ttyUSB1"), QStringLiteral("CP2102 USB to UART")}},
            {QStringLiteral("fe80::3e97:eff:fe01:2345"), QStringLiteral("192.168.10.20"),
             QStringLiteral("10.0.0.7")},
            {}};
}

// A station that was set up as a UDP client of the control room.
CommSettings clientStation()
{
    CommSettings s;
    s.is_server = false;
    s.use_udp = true;
    s.serialport = QStringLiteral("ttyUSB1");
    s.server_host = QStringLiteral("10.0.0.7");
    s.server_port = QStringLiteral("5000");
    s.client_host = QStringLiteral("192.168.10.99");
    s.client_port = QStringLiteral("6000");
    return s;
}

template<class W>
W *part(QWidget *dialog, const QString &name)
{
    return dialog->findChild<W *>(name);
}

// Clicks a button where the operator would: near its left edge, on the
// check mark or radio dot. A disabled button takes no clicks.
void clickOn(QWidget *dialog, const QString &name)
{
    QWidget *button = part<QAbstractButton>(dialog, name);
    QVERIFY2(button, qPrintable(name));
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

// Replaces a field's text the way the operator would, key by key, so the
// field's validator sees every keystroke.
void typeInto(QWidget *dialog, const QString &name, const QString &text)
{
    auto *edit = part<QLineEdit>(dialog, name);
    QVERIFY2(edit, qPrintable(name));
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

struct SeenBox
{
    int count = 0;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget *parent = nullptr;
};

// Answers the message box that the next click may raise: the timer fires in
// the box's own event loop, notes what it says and presses its OK.
void answerNextBox(QDialog *dialog, SeenBox *seen)
{
    QTimer::singleShot(0, dialog, [seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        ++seen->count;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        seen->parent = box->parentWidget();
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    });
}

struct ShownDialog
{
    std::unique_ptr<CCommDialog> dialog;
    std::unique_ptr<QSignalSpy> accepted;
    std::unique_ptr<QSignalSpy> finished;
};

ShownDialog showDialog(CommSettings *record, const CommSources &sources = studioPc())
{
    ShownDialog shown;
    shown.dialog = std::make_unique<CCommDialog>(nullptr, record, sources);
    shown.accepted = std::make_unique<QSignalSpy>(shown.dialog.get(), &QDialog::accepted);
    shown.finished = std::make_unique<QSignalSpy>(shown.dialog.get(), &QDialog::finished);
    shown.dialog->show();
    return shown;
}

const QStringList serverWidgets = {QStringLiteral("comboBox_nic"), QStringLiteral("lineEdit_server_port"),
                                   QStringLiteral("label_serverhost"), QStringLiteral("label_serverport")};
const QStringList clientWidgets = {QStringLiteral("lineEdit_client_host"), QStringLiteral("lineEdit_client_port"),
                                   QStringLiteral("label_clienthost"), QStringLiteral("label_clientport")};
const QStringList roleButtons = {QStringLiteral("radioButton_server"), QStringLiteral("radioButton_client")};

QStringList dialogLog;
QtMessageHandler previousHandler = nullptr;
QLoggingCategory::CategoryFilter previousFilter = nullptr;

// The dialog's debug lines are off by default (and the test environment
// says so too); switch them on for this category only.
void showDialogDebug(QLoggingCategory *category)
{
    previousFilter(category);
    if (qstrcmp(category->categoryName(), "lumora.dialog") == 0)
        category->setEnabled(QtDebugMsg, true);
}

void keepDialogLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "lumora.dialog") == 0)
        dialogLog.append(message);
    else
        previousHandler(type, context, message);
}

} // namespace

class TestCommDialog : public QObject
{
    Q_OBJECT

private slots:
    void form_data();
    void form();
    void window();

    void enabling_data();
    void enabling();

    void prefill_data();
    void prefill();
    void localAddresses_data();
    void localAddresses();
    void lateAddresses_data();
    void lateAddresses();
    void portEntries_data();
    void portEntries();
    void serialPortStored_data();
    void serialPortStored();
    void typedPathOpens();

    void portTyping_data();
    void portTyping();
    void portValidators();
    void refused_data();
    void refused();
    void accepted_data();
    void accepted();
    void serialOnlyChecksNothing();
    void closedWithoutOk_data();
    void closedWithoutOk();
    void nullRecord();
    void logLines_data();
    void logLines();

    void systemLists();
};

// ---- the form -------------------------------------------------------------

void TestCommDialog::form_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("checked");

    QTest::newRow("groupBox") << "QGroupBox" << "CCommDialog" << QRect(20, 10, 271, 51) << "Serial Port" << false;
    QTest::newRow("comboBox_serial") << "QComboBox" << "groupBox" << QRect(10, 20, 231, 22) << "" << false;
    QTest::newRow("groupBox_2") << "QGroupBox" << "CCommDialog" << QRect(20, 70, 271, 261) << "UDP Server/Client"
                                << false;
    QTest::newRow("checkBox_useudp") << "QCheckBox" << "groupBox_2" << QRect(10, 30, 181, 17) << "Enable" << false;
    QTest::newRow("label_clienthost") << "QLabel" << "groupBox_2" << QRect(60, 190, 31, 16) << "Host:" << false;
    QTest::newRow("label_clientport") << "QLabel" << "groupBox_2" << QRect(60, 220, 31, 16) << "Port:" << false;
    QTest::newRow("label_serverhost") << "QLabel" << "groupBox_2" << QRect(60, 90, 31, 16) << "NIC:" << false;
    QTest::newRow("comboBox_nic") << "QComboBox" << "groupBox_2" << QRect(100, 90, 141, 22) << "" << false;
    QTest::newRow("label_serverport") << "QLabel" << "groupBox_2" << QRect(60, 120, 31, 16) << "Port:" << false;
    QTest::newRow("lineEdit_client_host") << "QLineEdit" << "groupBox_2" << QRect(100, 190, 141, 20) << "" << false;
    QTest::newRow("radioButton_client") << "QRadioButton" << "groupBox_2" << QRect(40, 160, 91, 17)
                                        << " UDP Client" << false;
    QTest::newRow("lineEdit_client_port") << "QLineEdit" << "groupBox_2" << QRect(100, 220, 61, 20) << "" << false;
    QTest::newRow("lineEdit_server_port") << "QLineEdit" << "groupBox_2" << QRect(100, 120, 61, 20) << "" << false;
    QTest::newRow("radioButton_server") << "QRadioButton" << "groupBox_2" << QRect(40, 60, 111, 17) << "UDP Server"
                                        << true;
    // The ON AIR lamp's row stands where the buttons stood; they moved down.
    QTest::newRow("groupBox_tally") << "QGroupBox" << "CCommDialog" << QRect(20, 340, 271, 51) << "ON AIR lamp" << false;
    QTest::newRow("comboBox_tally") << "QComboBox" << "groupBox_tally" << QRect(10, 20, 231, 22) << "" << false;
    QTest::newRow("pushButton_ok") << "QPushButton" << "CCommDialog" << QRect(140, 400, 70, 23) << "OK" << false;
    QTest::newRow("pushButton_cancel") << "QPushButton" << "CCommDialog" << QRect(220, 400, 70, 23) << "Cancel"
                                       << false;
}

// The slots are wired by object name, so every name, class and place counts.
void TestCommDialog::form()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(bool, checked);

    CCommDialog dialog(nullptr, nullptr, CommSources());
    auto *widget = part<QWidget>(&dialog, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    QCOMPARE(widget->geometry(), geometry);
    const QVariant shown = widget->property("title").isValid() ? widget->property("title") : widget->property("text");
    QCOMPARE(shown.toString(), text);
    QCOMPARE(widget->property("checked").toBool(), checked);
}

void TestCommDialog::window()
{
    CCommDialog dialog(nullptr, nullptr, CommSources());
    QCOMPARE(dialog.objectName(), QStringLiteral("CCommDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Communication Interface"));
    QCOMPARE(dialog.size(), QSize(312, 430));
    QCOMPARE(dialog.minimumSize(), QSize(312, 430));
    QCOMPARE(dialog.maximumSize(), QSize(312, 430));
}

// ---- which widgets the operator can use ------------------------------------

void TestCommDialog::enabling_data()
{
    QTest::addColumn<CommSettings>("record");
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<bool>("serialEnabled");
    QTest::addColumn<bool>("serverEnabled");
    QTest::addColumn<bool>("clientEnabled");
    QTest::addColumn<bool>("rolesEnabled");

    CommSettings serialOnly;
    serialOnly.is_server = true;
    CommSettings server = serialOnly;
    server.use_udp = true;
    const CommSettings client = clientStation();
    const QString enable = QStringLiteral("checkBox_useudp");
    const QString toServer = QStringLiteral("radioButton_server");
    const QString toClient = QStringLiteral("radioButton_client");

    // As opened from the stored record.
    QTest::newRow("opened: serial only") << serialOnly << QStringList() << true << false << false << false;
    QTest::newRow("opened: udp server") << server << QStringList() << true << true << false << true;
    QTest::newRow("opened: udp client") << client << QStringList() << false << false << true << true;

    // As the operator clicks through it.
    QTest::newRow("enable: server") << serialOnly << QStringList{enable} << true << true << false << true;
    QTest::newRow("enable, client") << serialOnly << QStringList{enable, toClient} << false << false << true << true;
    QTest::newRow("client, back to server") << serialOnly << QStringList{enable, toClient, toServer} << true << true
                                            << false << true;
    QTest::newRow("server, client, server, client")
        << serialOnly << QStringList{enable, toClient, toServer, toClient} << false << false << true << true;
    QTest::newRow("client, then disable") << client << QStringList{enable} << true << false << false << false;
    QTest::newRow("client, disable, enable") << client << QStringList{enable, enable} << false << false << true
                                             << true;
    QTest::newRow("disabled roles take no clicks") << serialOnly << QStringList{toClient, enable} << true << true
                                                   << false << true;
}

void TestCommDialog::enabling()
{
    QFETCH(CommSettings, record);
    QFETCH(QStringList, clicks);
    QFETCH(bool, serialEnabled);
    QFETCH(bool, serverEnabled);
    QFETCH(bool, clientEnabled);
    QFETCH(bool, rolesEnabled);

    ShownDialog shown = showDialog(&record);
    QWidget *dialog = shown.dialog.get();
    for (const QString &name : qAsConst(clicks))
        clickOn(dialog, name);

    QCOMPARE(part<QWidget>(dialog, QStringLiteral("comboBox_serial"))->isEnabled(), serialEnabled);
    for (const QString &name : serverWidgets)
        QVERIFY2(part<QWidget>(dialog, name)->isEnabled() == serverEnabled, qPrintable(name));
    for (const QString &name : clientWidgets)
        QVERIFY2(part<QWidget>(dialog, name)->isEnabled() == clientEnabled, qPrintable(name));
    for (const QString &name : roleButtons)
        QVERIFY2(part<QWidget>(dialog, name)->isEnabled() == rolesEnabled, qPrintable(name));
    QVERIFY(part<QWidget>(dialog, QStringLiteral("checkBox_useudp"))->isEnabled());
}

// ---- what the dialog opens with --------------------------------------------

void TestCommDialog::prefill_data()
{
    QTest::addColumn<CommSettings>("record");
    QTest::addColumn<bool>("enableChecked");
    QTest::addColumn<bool>("serverChecked");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("nicText");

    const CommSettings client = clientStation();
    QTest::newRow("udp client") << client << true << false << "CP2102 USB to UART (ttyUSB1)" << "10.0.0.7";

    CommSettings server = client;
    server.is_server = true;
    server.serialport = QStringLiteral("ttyUSB0");
    server.server_host = QStringLiteral("192.168.10.20");
    QTest::newRow("udp server") << server << true << true << "FT232R USB UART (ttyUSB0)" << "192.168.10.20";

    CommSettings serialOnly = server;
    serialOnly.use_udp = false;
    serialOnly.serialport = QStringLiteral("ttyS0");
    QTest::newRow("serial only, port without description") << serialOnly << false << true << " (ttyS0)"
                                                           << "192.168.10.20";

    CommSettings unplugged = server;
    unplugged.serialport = QStringLiteral("ttyACM3");
    QTest::newRow("stored port unplugged: kept") << unplugged << true << true << "ttyACM3" << "192.168.10.20";

    CommSettings noPort = server;
    noPort.serialport.clear();
    QTest::newRow("no port stored: none chosen") << noPort << true << true << "" << "192.168.10.20";

    CommSettings movedNic = server;
    movedNic.server_host = QStringLiteral("172.16.0.5");
    QTest::newRow("stored nic gone: kept") << movedNic << true << true << "FT232R USB UART (ttyUSB0)"
                                           << "172.16.0.5";

    CommSettings partialNic = server;
    partialNic.server_host = QStringLiteral("10.0.0");
    QTest::newRow("nic matched whole, not by prefix") << partialNic << true << true << "FT232R USB UART (ttyUSB0)"
                                                      << "10.0.0";
}

void TestCommDialog::prefill()
{
    QFETCH(CommSettings, record);
    QFETCH(bool, enableChecked);
    QFETCH(bool, serverChecked);
    QFETCH(QString, serialText);
    QFETCH(QString, nicText);

    const CommSettings before = record;
    CCommDialog dialog(nullptr, &record, studioPc());
    QCOMPARE(part<QCheckBox>(&dialog, QStringLiteral("checkBox_useudp"))->isChecked(), enableChecked);
    QCOMPARE(part<QRadioButton>(&dialog, QStringLiteral("radioButton_server"))->isChecked(), serverChecked);
    QCOMPARE(part<QRadioButton>(&dialog, QStringLiteral("radioButton_client"))->isChecked(), !serverChecked);
    QCOMPARE(part<QComboBox>(&dialog, QStringLiteral("comboBox_serial"))->currentText(), serialText);
    QCOMPARE(part<QComboBox>(&dialog, QStringLiteral("comboBox_nic"))->currentText(), nicText);
    QCOMPARE(part<QLineEdit>(&dialog, QStringLiteral("lineEdit_server_port"))->text(), record.server_port);
    QCOMPARE(part<QLineEdit>(&dialog, QStringLiteral("lineEdit_client_host"))->text(), record.client_host);
    QCOMPARE(part<QLineEdit>(&dialog, QStringLiteral("lineEdit_client_port"))->text(), record.client_port);
    QCOMPARE(record, before);  // opening alone changes nothing
}

void TestCommDialog::localAddresses_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QStringList>("interfaces");
    QTest::addColumn<QString>("storedHost");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("savedHost");

    QTest::newRow("ipv6 skipped, order kept")
        << QStringList{"fe80::3e97:eff:fe01:2345", "192.168.10.20", "::1", "10.0.0.7"} << QStringList()
        << "10.0.0.7" << QStringList{"192.168.10.20", "::1", "10.0.0.7"} << "10.0.0.7";
    QTest::newRow("15 characters fit, 16 do not")
        << QStringList{"2001:db8::1:2:3a", "192.168.100.200", "fe80::1234:5678"} << QStringList() << ""
        << QStringList{"192.168.100.200", "fe80::1234:5678"} << "192.168.100.200";
    // Debian's hosts file maps the host name to 127.0.1.1 alone.
    QTest::newRow("stock debian: first card chosen, not loopback")
        << QStringList{"127.0.1.1"} << QStringList{"192.168.10.20", "10.0.0.7"} << ""
        << QStringList{"127.0.1.1", "192.168.10.20", "10.0.0.7"} << "192.168.10.20";
    QTest::newRow("loopback interface passed over") << QStringList() << QStringList{"127.0.0.1", "10.0.0.7"}
                                                    << "" << QStringList{"127.0.0.1", "10.0.0.7"} << "10.0.0.7";
    QTest::newRow("only loopback: kept") << QStringList() << QStringList{"127.0.0.1"} << ""
                                         << QStringList{"127.0.0.1"} << "127.0.0.1";
    QTest::newRow("no duplicates") << QStringList{"192.168.10.20", "127.0.1.1"}
                                   << QStringList{"10.0.0.7", "192.168.10.20"} << "10.0.0.7"
                                   << QStringList{"192.168.10.20", "127.0.1.1", "10.0.0.7"} << "10.0.0.7";
    QTest::newRow("stored address gone: kept and chosen")
        << QStringList{"127.0.1.1"} << QStringList{"192.168.10.20"} << "172.16.0.5"
        << QStringList{"127.0.1.1", "192.168.10.20", "172.16.0.5"} << "172.16.0.5";
    QTest::newRow("stored long address kept") << QStringList() << QStringList{"10.0.0.7"}
                                              << "2001:db8:85a3::8a2e:370:7334"
                                              << QStringList{"10.0.0.7", "2001:db8:85a3::8a2e:370:7334"}
                                              << "2001:db8:85a3::8a2e:370:7334";
    QTest::newRow("nothing at all: empty box") << QStringList{"2001:db8:85a3::8a2e:370:7334"} << QStringList()
                                               << "" << QStringList() << "";
}

// The NIC box lists what the server can bind to; OK stores the chosen one,
// and opening then OK never changes what was stored.
void TestCommDialog::localAddresses()
{
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, interfaces);
    QFETCH(QString, storedHost);
    QFETCH(QStringList, listed);
    QFETCH(QString, savedHost);

    CommSettings record;
    record.use_udp = true;
    record.is_server = true;
    record.server_host = storedHost;
    record.server_port = QStringLiteral("5000");
    CommSources sources = studioPc();
    sources.addresses = addresses;
    sources.interfaceAddresses = interfaces;
    ShownDialog shown = showDialog(&record, sources);

    auto *nic = part<QComboBox>(shown.dialog.get(), QStringLiteral("comboBox_nic"));
    QStringList items;
    for (int i = 0; i < nic->count(); ++i)
        items << nic->itemText(i);
    QCOMPARE(items, listed);

    clickOn(shown.dialog.get(), QStringLiteral("pushButton_ok"));
    QCOMPARE(shown.accepted->count(), 1);
    QCOMPARE(record.server_host, savedHost);
}

void TestCommDialog::lateAddresses_data()
{
    QTest::addColumn<QString>("storedHost");
    QTest::addColumn<QStringList>("interfaces");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("savedHost");

    QTest::newRow("stored stays chosen") << "172.16.0.5" << QStringList{"10.0.0.7"}
                                         << QStringList{"10.0.0.7", "172.16.0.5", "127.0.1.1", "192.168.10.20"}
                                         << "172.16.0.5";
    QTest::newRow("default card stays chosen") << "" << QStringList{"10.0.0.7"}
                                               << QStringList{"10.0.0.7", "127.0.1.1", "172.16.0.5", "192.168.10.20"}
                                               << "10.0.0.7";
    QTest::newRow("empty box takes the first") << "" << QStringList()
                                               << QStringList{"127.0.1.1", "172.16.0.5", "192.168.10.20"}
                                               << "127.0.1.1";
}

// A slow host-name look-up: the dialog is there before it answers, and its
// addresses join the end of the list without moving the choice.
void TestCommDialog::lateAddresses()
{
    QFETCH(QString, storedHost);
    QFETCH(QStringList, interfaces);
    QFETCH(QStringList, listed);
    QFETCH(QString, savedHost);

    CommSettings record;
    record.use_udp = true;
    record.is_server = true;
    record.server_host = storedHost;
    record.server_port = QStringLiteral("5000");
    CommSources sources = studioPc();
    sources.addresses.clear();
    sources.interfaceAddresses = interfaces;
    AddressAnswer answer;
    QPointer<QObject> lookup;
    CCommDialog dialog(nullptr, &record, sources, [&](const AddressAnswer &a) {
        answer = a;
        lookup = new QObject;
        return lookup.data();
    });
    dialog.show();
    QVERIFY(answer);
    answer({"127.0.1.1", "172.16.0.5", "fe80::3e97:eff:fe01:2345", "192.168.10.20"});

    auto *nic = part<QComboBox>(&dialog, QStringLiteral("comboBox_nic"));
    QStringList items;
    for (int i = 0; i < nic->count(); ++i)
        items << nic->itemText(i);
    QCOMPARE(items, listed);
    clickOn(&dialog, QStringLiteral("pushButton_ok"));
    QCOMPARE(record.server_host, savedHost);
    QVERIFY(lookup.isNull());  // closing ends a look-up still under way
}

void TestCommDialog::portEntries_data()
{
    QTest::addColumn<QList<SerialPortEntry>>("ports");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<QString>("storedPort");

    const QList<SerialPortEntry> studio = studioPc().ports;
    // The stored port, unplugged, is offered after the listed ones.
    const QStringList studioListed{" (ttyS0)", "FT232R USB UART (ttyUSB0)", "CP2102 USB to UART (ttyUSB1)",
                                   "ttyUSB9"};
    QTest::newRow("port without description") << studio << studioListed << 0 << "ttyS0";
    QTest::newRow("described port") << studio << studioListed << 2 << "ttyUSB1";
    QTest::newRow("windows names") << QList<SerialPortEntry>{{"COM1", "Communications Port"}, {"COM7", ""}}
                                   << QStringList{"Communications Port (COM1)", " (COM7)", "ttyUSB9"} << 1 << "COM7";
    QTest::newRow("twin adapters, same description")
        << QList<SerialPortEntry>{{"ttyUSB0", "FT232R USB UART"}, {"ttyUSB1", "FT232R USB UART"}}
        << QStringList{"FT232R USB UART (ttyUSB0)", "FT232R USB UART (ttyUSB1)", "ttyUSB9"} << 1 << "ttyUSB1";
    QTest::newRow("no ports: stored name kept") << QList<SerialPortEntry>() << QStringList{"ttyUSB9"} << 0
                                                << "ttyUSB9";
    QTest::newRow("box cleared: stored name kept") << studio << studioListed << -1 << "ttyUSB9";
}

void TestCommDialog::portEntries()
{
    QFETCH(QList<SerialPortEntry>, ports);
    QFETCH(QStringList, listed);
    QFETCH(int, chosen);
    QFETCH(QString, storedPort);

    CommSettings record;
    record.serialport = QStringLiteral("ttyUSB9");
    CommSources sources = studioPc();
    sources.ports = ports;
    ShownDialog shown = showDialog(&record, sources);

    auto *serial = part<QComboBox>(shown.dialog.get(), QStringLiteral("comboBox_serial"));
    QStringList items;
    for (int i = 0; i < serial->count(); ++i)
        items << serial->itemText(i);
    QCOMPARE(items, listed);

    serial->setCurrentIndex(chosen);
    clickOn(shown.dialog.get(), QStringLiteral("pushButton_ok"));
    QCOMPARE(shown.accepted->count(), 1);
    QCOMPARE(record.serialport, storedPort);
}

void TestCommDialog::serialPortStored_data()
{
    QTest::addColumn<QString>("storedPort");
    QTest::addColumn<QString>("typed");  // empty: the box is left alone
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("savedPort");

    const QString byId = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3ZQX-if00-port0");
    // Opened and confirmed untouched: what was stored stays.
    QTest::newRow("listed port") << "ttyUSB1" << "" << "CP2102 USB to UART (ttyUSB1)" << "ttyUSB1";
    QTest::newRow("adapter unplugged") << "ttyACM3" << "" << "ttyACM3" << "ttyACM3";
    QTest::newRow("pty") << "/dev/pts/7" << "" << "/dev/pts/7" << "/dev/pts/7";
    QTest::newRow("by-id path") << byId << "" << byId << byId;
    QTest::newRow("none stored, OK: still none") << "" << "" << "" << "";
    // Typed by the operator.
    QTest::newRow("typed by-id path") << "ttyUSB1" << byId << byId << byId;
    QTest::newRow("typed full path, blanks dropped") << "ttyUSB1" << " /dev/ttyUSB0 " << " /dev/ttyUSB0 "
                                                     << "/dev/ttyUSB0";
}

void TestCommDialog::serialPortStored()
{
    QFETCH(QString, storedPort);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, savedPort);

    CommSettings record = clientStation();
    record.use_udp = false;
    record.serialport = storedPort;
    ShownDialog dialog = showDialog(&record);
    auto *serial = part<QComboBox>(dialog.dialog.get(), QStringLiteral("comboBox_serial"));
    if (!typed.isEmpty()) {
        serial->lineEdit()->selectAll();
        QTest::keyClick(serial->lineEdit(), Qt::Key_Backspace);
        QTest::keyClicks(serial->lineEdit(), typed);
    }
    QCOMPARE(serial->currentText(), shown);

    clickOn(dialog.dialog.get(), QStringLiteral("pushButton_ok"));
    QCOMPARE(dialog.accepted->count(), 1);
    QCOMPARE(record.serialport, savedPort);
}

// A path typed into the box, like a by-id link, names a device the serial
// port opens: here a real pseudo-terminal behind a link of that kind.
void TestCommDialog::typedPathOpens()
{
    int console = -1;
    int meters = -1;
    QVERIFY(::openpty(&console, &meters, nullptr, nullptr, nullptr) == 0);
    const QString device = QString::fromLocal8Bit(::ttyname(meters));
    ::close(meters);
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A10K3ZQX-if00-port0"));
    QVERIFY(QFile::link(device, link));

    CommSettings record;
    ShownDialog dialog = showDialog(&record);
    auto *serial = part<QComboBox>(dialog.dialog.get(), QStringLiteral("comboBox_serial"));
    serial->lineEdit()->selectAll();
    QTest::keyClicks(serial->lineEdit(), link);
    clickOn(dialog.dialog.get(), QStringLiteral("pushButton_ok"));
    QCOMPARE(record.serialport, link);

    QSerialPort port(record.serialport);
    QVERIFY2(port.open(QIODevice::ReadOnly), qPrintable(port.errorString()));
    port.close();
    ::close(console);
}

// ---- checking on OK --------------------------------------------------------

void TestCommDialog::portTyping_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("acceptable");

    const QString server = QStringLiteral("radioButton_server");
    const QString serverPort = QStringLiteral("lineEdit_server_port");
    const QString client = QStringLiteral("radioButton_client");
    const QString clientPort = QStringLiteral("lineEdit_client_port");
    QTest::newRow("0 stays but is not a port") << server << serverPort << "0" << "0" << false;
    QTest::newRow("1") << client << clientPort << "1" << "1" << true;
    QTest::newRow("65535") << client << clientPort << "65535" << "65535" << true;
    QTest::newRow("65536 stays but is not a port") << server << serverPort << "65536" << "65536" << false;
    QTest::newRow("99999 stays but is not a port") << client << clientPort << "99999" << "99999" << false;
    QTest::newRow("655350: sixth digit refused") << server << serverPort << "655350" << "65535" << true;
    QTest::newRow("-1: minus refused") << client << clientPort << "-1" << "1" << true;
    QTest::newRow("letters refused") << server << serverPort << "50a0" << "500" << true;
    QTest::newRow("8,000: no digit grouping") << client << clientPort << "8,000" << "8000" << true;
    QTest::newRow("8.000: no digit grouping") << server << serverPort << "8.000" << "8000" << true;
    QTest::newRow("blank refused") << client << clientPort << "60 00" << "6000" << true;
}

// What typing leaves in a port field, and whether the field calls it a port.
void TestCommDialog::portTyping()
{
    QFETCH(QString, role);
    QFETCH(QString, field);
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    QFETCH(bool, acceptable);

    CommSettings record = clientStation();
    ShownDialog dialog = showDialog(&record);
    clickOn(dialog.dialog.get(), role);
    typeInto(dialog.dialog.get(), field, keys);
    auto *edit = part<QLineEdit>(dialog.dialog.get(), field);
    QCOMPARE(edit->text(), shown);
    QCOMPARE(edit->hasAcceptableInput(), acceptable);
}

// Both port fields carry their own 1..65535 validator, owned by the dialog.
void TestCommDialog::portValidators()
{
    CCommDialog dialog(nullptr, nullptr, CommSources());
    for (const char *name : {"lineEdit_server_port", "lineEdit_client_port"}) {
        auto *validator = qobject_cast<const QIntValidator *>(
            part<QLineEdit>(&dialog, QLatin1String(name))->validator());
        QVERIFY2(validator, name);
        QCOMPARE(validator->bottom(), 1);
        QCOMPARE(validator->top(), 65535);
        QCOMPARE(validator->parent(), &dialog);
        int pos = 0;
        QString above = QStringLiteral("65536");
        QString negative = QStringLiteral("-1");
        QVERIFY(validator->validate(above, pos) != QValidator::Acceptable);
        QCOMPARE(validator->validate(negative, pos), QValidator::Invalid);
    }
}

void TestCommDialog::refused_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QString>("serverPort");
    QTest::addColumn<QString>("clientHost");
    QTest::addColumn<QString>("clientPort");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    const QString serverTitle = QStringLiteral("UDP Server error");
    const QString serverText = QStringLiteral("Please, specify valid port!");
    const QString clientTitle = QStringLiteral("UDP Client error");
    const QString clientText = QStringLiteral("Please, specify valid host and/or port!");

    QTest::newRow("server, empty port") << true << "" << "10.0.0.1" << "6000" << serverTitle << serverText;
    QTest::newRow("server, port 65536") << true << "65536" << "10.0.0.1" << "6000" << serverTitle << serverText;
    QTest::newRow("server, port 99999") << true << "99999" << "" << "" << serverTitle << serverText;
    QTest::newRow("server, port 0") << true << "0" << "10.0.0.1" << "6000" << serverTitle << serverText;
    QTest::newRow("client, empty host") << false << "5000" << "" << "6000" << clientTitle << clientText;
    QTest::newRow("client, empty port") << false << "5000" << "10.0.0.1" << "" << clientTitle << clientText;
    QTest::newRow("client, both empty") << false << "5000" << "" << "" << clientTitle << clientText;
    QTest::newRow("client, port 70000") << false << "" << "10.0.0.1" << "70000" << clientTitle << clientText;
    QTest::newRow("client, port 0") << false << "" << "10.0.0.1" << "0" << clientTitle << clientText;
}

// A setup the link cannot use is refused: the operator is told and the
// dialog stays open with the record untouched.
void TestCommDialog::refused()
{
    QFETCH(bool, server);
    QFETCH(QString, serverPort);
    QFETCH(QString, clientHost);
    QFETCH(QString, clientPort);
    QFETCH(QString, title);
    QFETCH(QString, text);

    CommSettings record = clientStation();
    const CommSettings before = record;
    ShownDialog shown = showDialog(&record);
    QWidget *dialog = shown.dialog.get();
    // Fill every field while its role is chosen, then settle on the role.
    clickOn(dialog, QStringLiteral("radioButton_server"));
    typeInto(dialog, QStringLiteral("lineEdit_server_port"), serverPort);
    clickOn(dialog, QStringLiteral("radioButton_client"));
    typeInto(dialog, QStringLiteral("lineEdit_client_host"), clientHost);
    typeInto(dialog, QStringLiteral("lineEdit_client_port"), clientPort);
    if (server)
        clickOn(dialog, QStringLiteral("radioButton_server"));

    SeenBox seen;
    answerNextBox(shown.dialog.get(), &seen);
    clickOn(dialog, QStringLiteral("pushButton_ok"));

    QCOMPARE(seen.count, 1);
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(seen.parent, dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(shown.finished->count(), 0);
    QCOMPARE(record, before);
}

void TestCommDialog::accepted_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<QString>("serverPort");
    QTest::addColumn<QString>("clientHost");
    QTest::addColumn<QString>("clientPort");
    QTest::addColumn<QString>("storedTally");
    QTest::addColumn<QString>("tallyChoice");  // the lamp's row chosen by its value; "-": left as shown
    QTest::addColumn<CommSettings>("expected");

    // Each role's fields are typed, the serial port and NIC changed; only the
    // chosen role's are stored, the greyed-out ones keep what was stored.
    // The lamp's source is stored in every role.
    const auto server = [](const QString &port) {
        CommSettings s = clientStation();
        s.is_server = true;
        s.serialport = QStringLiteral("ttyUSB0");
        s.server_host = QStringLiteral("192.168.10.20");
        s.server_port = port;
        return s;
    };
    const auto client = [](const QString &host, const QString &port) {
        CommSettings s = clientStation();
        s.client_host = host;
        s.client_port = port;
        return s;
    };
    const auto tally = [](CommSettings s, const QString &source) {
        s.tally_source = source;
        return s;
    };
    QTest::newRow("server, port 1") << true << "1" << "" << "" << "" << "-" << server("1");
    QTest::newRow("server, port 65535, the DCD line inverted") << true << "65535" << "not used" << "70000" << ""
                                                               << "!dcd" << tally(server("65535"), "!dcd");
    QTest::newRow("client, host name taken as typed") << false << "" << "studio-a" << "6000" << "" << "-"
                                                      << client("studio-a", "6000");
    QTest::newRow("client, lamp by commands") << false << "99999" << "192.168.10.99" << "65535" << "cts"
                                              << "control" << tally(client("192.168.10.99", "65535"), "control");
    QTest::newRow("client, a stored source the list lacks is kept") << false << "" << "studio-a" << "6000" << "Dtr"
                                                                    << "-" << tally(client("studio-a", "6000"), "Dtr");
    QTest::newRow("client, the lamp taken away") << false << "" << "studio-a" << "6000" << "cts" << ""
                                                 << client("studio-a", "6000");
}

void TestCommDialog::accepted()
{
    QFETCH(bool, server);
    QFETCH(QString, serverPort);
    QFETCH(QString, clientHost);
    QFETCH(QString, clientPort);
    QFETCH(QString, storedTally);
    QFETCH(QString, tallyChoice);
    QFETCH(CommSettings, expected);

    CommSettings record = clientStation();
    record.tally_source = storedTally;
    ShownDialog shown = showDialog(&record);
    QWidget *dialog = shown.dialog.get();
    clickOn(dialog, QStringLiteral("radioButton_server"));
    typeInto(dialog, QStringLiteral("lineEdit_server_port"), serverPort);
    part<QComboBox>(dialog, QStringLiteral("comboBox_nic"))->setCurrentIndex(0);
    part<QComboBox>(dialog, QStringLiteral("comboBox_serial"))->setCurrentIndex(1);
    clickOn(dialog, QStringLiteral("radioButton_client"));
    typeInto(dialog, QStringLiteral("lineEdit_client_host"), clientHost);
    typeInto(dialog, QStringLiteral("lineEdit_client_port"), clientPort);
    if (server)
        clickOn(dialog, QStringLiteral("radioButton_server"));
    auto *lamp = part<QComboBox>(dialog, QStringLiteral("comboBox_tally"));
    if (tallyChoice != QLatin1String("-"))
        lamp->setCurrentIndex(lamp->findData(tallyChoice));

    SeenBox seen;
    answerNextBox(shown.dialog.get(), &seen);
    clickOn(dialog, QStringLiteral("pushButton_ok"));

    QCOMPARE(seen.count, 0);
    QCOMPARE(shown.accepted->count(), 1);
    QCOMPARE(shown.dialog->result(), int(QDialog::Accepted));
    QVERIFY(!dialog->isVisible());
    QCOMPARE(record, expected);
}

// With "Enable" off nothing on the UDP side is used, so nothing is checked
// and every field is kept as it stands for a later switch to UDP.
void TestCommDialog::serialOnlyChecksNothing()
{
    CommSettings record;
    record.is_server = false;
    record.use_udp = true;
    record.serialport = QStringLiteral("ttyUSB1");
    record.server_host = QStringLiteral("10.0.0.7");
    record.server_port = QString();
    record.client_host = QStringLiteral("studio-a");
    record.client_port = QStringLiteral("99999");
    CommSettings expected = record;
    expected.use_udp = false;
    expected.serialport = QStringLiteral("ttyS0");
    ShownDialog shown = showDialog(&record);
    QWidget *dialog = shown.dialog.get();
    clickOn(dialog, QStringLiteral("checkBox_useudp"));
    part<QComboBox>(dialog, QStringLiteral("comboBox_serial"))->setCurrentIndex(0);

    SeenBox seen;
    answerNextBox(shown.dialog.get(), &seen);
    clickOn(dialog, QStringLiteral("pushButton_ok"));

    QCOMPARE(seen.count, 0);
    QCOMPARE(shown.accepted->count(), 1);
    QCOMPARE(record, expected);
}

void TestCommDialog::closedWithoutOk_data()
{
    QTest::addColumn<CloseAction>("closeIt");
    QTest::newRow("cancel button")
        << CloseAction([](QWidget *dialog) { clickOn(dialog, QStringLiteral("pushButton_cancel")); });
    QTest::newRow("escape key") << CloseAction([](QWidget *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
    QTest::newRow("window closed") << CloseAction([](QWidget *dialog) { dialog->close(); });
}

void TestCommDialog::closedWithoutOk()
{
    QFETCH(CloseAction, closeIt);

    CommSettings record = clientStation();
    const CommSettings before = record;
    ShownDialog shown = showDialog(&record);
    QWidget *dialog = shown.dialog.get();
    typeInto(dialog, QStringLiteral("lineEdit_client_port"), QStringLiteral("7000"));
    clickOn(dialog, QStringLiteral("radioButton_server"));
    typeInto(dialog, QStringLiteral("lineEdit_server_port"), QStringLiteral("7001"));
    clickOn(dialog, QStringLiteral("checkBox_useudp"));
    part<QComboBox>(dialog, QStringLiteral("comboBox_serial"))->setCurrentIndex(0);

    closeIt(dialog);

    QCOMPARE(shown.finished->count(), 1);
    QCOMPARE(shown.accepted->count(), 0);
    QCOMPARE(shown.dialog->result(), int(QDialog::Rejected));
    QVERIFY(!dialog->isVisible());
    QCOMPARE(record, before);
}

// Without a record nothing is filled in or stored, but OK still checks.
void TestCommDialog::nullRecord()
{
    ShownDialog shown = showDialog(nullptr);
    QWidget *dialog = shown.dialog.get();
    QVERIFY(!part<QCheckBox>(dialog, QStringLiteral("checkBox_useudp"))->isChecked());
    QVERIFY(part<QRadioButton>(dialog, QStringLiteral("radioButton_server"))->isChecked());
    QCOMPARE(part<QComboBox>(dialog, QStringLiteral("comboBox_serial"))->currentText(), QStringLiteral(" (ttyS0)"));
    QCOMPARE(part<QComboBox>(dialog, QStringLiteral("comboBox_nic"))->currentText(), QStringLiteral("192.168.10.20"));
    for (const char *name : {"lineEdit_server_port", "lineEdit_client_host", "lineEdit_client_port"})
        QVERIFY2(part<QLineEdit>(dialog, QLatin1String(name))->text().isEmpty(), name);
    QVERIFY(part<QWidget>(dialog, QStringLiteral("comboBox_serial"))->isEnabled());
    QVERIFY(!part<QWidget>(dialog, QStringLiteral("lineEdit_server_port"))->isEnabled());

    clickOn(dialog, QStringLiteral("checkBox_useudp"));
    SeenBox seen;
    answerNextBox(shown.dialog.get(), &seen);
    clickOn(dialog, QStringLiteral("pushButton_ok"));
    QCOMPARE(seen.count, 1);
    QCOMPARE(seen.title, QStringLiteral("UDP Server error"));
    QVERIFY(dialog->isVisible());

    typeInto(dialog, QStringLiteral("lineEdit_server_port"), QStringLiteral("5000"));
    clickOn(dialog, QStringLiteral("pushButton_ok"));
    QCOMPARE(shown.accepted->count(), 1);
}

void TestCommDialog::logLines_data()
{
    QTest::addColumn<bool>("withRecord");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("with a record") << true << QStringList{"OK CLICK.. ", "comm is not null "};
    QTest::newRow("null record") << false << QStringList{"OK CLICK.. "};
}

void TestCommDialog::logLines()
{
    QFETCH(bool, withRecord);
    QFETCH(QStringList, lines);

    CommSettings record;
    ShownDialog shown = showDialog(withRecord ? &record : nullptr);
    dialogLog.clear();
    // installFilter() runs the new filter at once, so learn the old one first.
    previousFilter = QLoggingCategory::installFilter(nullptr);
    QLoggingCategory::installFilter(showDialogDebug);
    previousHandler = qInstallMessageHandler(keepDialogLines);
    clickOn(shown.dialog.get(), QStringLiteral("pushButton_ok"));
    qInstallMessageHandler(previousHandler);
    QLoggingCategory::installFilter(previousFilter);

    QCOMPARE(dialogLog, lines);
    QCOMPARE(shown.accepted->count(), 1);
}

// The two-argument constructor lists this machine: every serial port, the
// host name's short addresses, then the IPv4 address of every interface that
// is up and can broadcast, each once.
void TestCommDialog::systemLists()
{
    CommSettings record;
    CCommDialog dialog(nullptr, &record);
    auto *serial = part<QComboBox>(&dialog, QStringLiteral("comboBox_serial"));
    QCOMPARE(serial->count(), QSerialPortInfo::availablePorts().size());

    QStringList expected;
    const auto add = [&expected](const QHostAddress &address) {
        const QString text = address.toString();
        if (text.size() <= 15 && !expected.contains(text))
            expected << text;
    };
    // At once: the cards, loopback last; the host name's addresses follow.
    for (bool loopback : {false, true}) {
        for (const QNetworkInterface &nic : QNetworkInterface::allInterfaces()) {
            const auto flags = nic.flags();
            if (!(flags & QNetworkInterface::IsUp) || bool(flags & QNetworkInterface::IsLoopBack) != loopback
                || !(flags & (QNetworkInterface::CanBroadcast | QNetworkInterface::IsLoopBack)))
                continue;
            for (const QNetworkAddressEntry &entry : nic.addressEntries()) {
                if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                    add(entry.ip());
            }
        }
    }
    auto *nic = part<QComboBox>(&dialog, QStringLiteral("comboBox_nic"));
    const auto items = [nic] {
        QStringList texts;
        for (int i = 0; i < nic->count(); ++i)
            texts << nic->itemText(i);
        return texts;
    };
    QCOMPARE(items(), expected);
    for (const QHostAddress &address : QHostInfo::fromName(QHostInfo::localHostName()).addresses())
        add(address);
    QTRY_COMPARE(items(), expected);
}

QTEST_MAIN(TestCommDialog)
#include "tst_commdialog.moc"
