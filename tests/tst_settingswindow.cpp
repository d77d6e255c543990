#include <QCheckBox>
#include <QDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>

#include "ccommdialog.h"
#include "mainwindow.h"
#include "meterlink.h"
#include "mylabel.h"
#include "testsupport.h"

namespace {

QString labelText(MainWindow &window, const char *name)
{
    return window.findChild<QLabel *>(QString::fromLatin1(name))->text();
}

void clearStore()
{
    QFile::remove(TestSupport::settingsPath());
}

void store(const QString &key, const QVariant &value)
{
    QSettings settings(TestSupport::settingsPath(), QSettings::NativeFormat);
    settings.setValue(key, value);
}

QVariant stored(const QString &key)
{
    QSettings settings(TestSupport::settingsPath(), QSettings::NativeFormat);
    return settings.value(key);
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), quint16(0));
    return probe.localPort();
}

// Runs the first modal dialog that shows up through the given steps.
void whenModal(std::function<void(QWidget *)> steps)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        poll->stop();
        poll->deleteLater();
        steps(modal);
    });
    poll->start(10);
}

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { clearStore(); }
    void firstRun();
    void storedEmptyLabelStaysEmpty();
    void typedLinesSurviveTheQuit();
    void roundTripThroughTheWindow();
    void renameIsStoredAtOnce();
    void dialogOkRebuildsAndStores();
    void dialogCancelStoresNothing();
    void editWhileRunningIsTaken();
    void sigtermWritesOnceAndExitsCleanly_data();
    void sigtermWritesOnceAndExitsCleanly();
};

void TestSettingsWindow::firstRun()
{
    MainWindow window;
    QCOMPARE(window.linkSettings(), CommSettings());
    QCOMPARE(labelText(window, "labelMeter1"), QStringLiteral("Prog"));
    QCOMPARE(labelText(window, "labelMeter2"), QStringLiteral("Sub"));
    QCOMPARE(labelText(window, "labelMeter3"), QStringLiteral("CRM"));
    QCOMPARE(window.pos(), QGuiApplication::screens().at(0)->geometry().topLeft());
    QCOMPARE(window.size(), QSize(986, 580));
    // Nothing is written before the operator changes something.
    QVERIFY(!QFile::exists(TestSupport::settingsPath()));
}

void TestSettingsWindow::storedEmptyLabelStaysEmpty()
{
    store(QStringLiteral("labelMeter2"), QString());
    MainWindow window;
    QCOMPARE(labelText(window, "labelMeter2"), QString());
    QCOMPARE(labelText(window, "labelMeter1"), QStringLiteral("Prog"));
}

void TestSettingsWindow::typedLinesSurviveTheQuit()
{
    // As an installer types them: UTF-8, a comma in a name, the README's list.
    const QByteArray typed = "labelMeter1=Studio K\xc3\xb6ln\nlabelMeter2=Studio 1, left\n"
                             "control_allow=127.0.0.0/8, 10.10.1.0/24\nuse_udp=no\n";
    QVERIFY(QDir().mkpath(QFileInfo(TestSupport::settingsPath()).path()));
    {
        QFile file(TestSupport::settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(typed);
    }
    {
        MainWindow window;
        QCOMPARE(labelText(window, "labelMeter1"), QString::fromUtf8("Studio K\xc3\xb6ln"));
        QCOMPARE(labelText(window, "labelMeter2"), QStringLiteral("Studio 1, left"));
        QCOMPARE(window.linkSettings().use_udp, false);
    }
    QFile file(TestSupport::settingsPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    for (const QByteArray &line : typed.split('\n'))
        QVERIFY2(written.contains(line + '\n'), written.constData());
}

void TestSettingsWindow::roundTripThroughTheWindow()
{
    store(QStringLiteral("use_udp"), true);
    store(QStringLiteral("is_server"), false);
    store(QStringLiteral("client_host"), QStringLiteral("127.0.0.1"));
    store(QStringLiteral("client_port"), QStringLiteral("0"));
    store(QStringLiteral("server_port"), QStringLiteral("7001"));
    store(QStringLiteral("labelMeter1"), QStringLiteral("Studio 1"));
    {
        MainWindow window;
        QCOMPARE(window.linkSettings().client_host, QStringLiteral("127.0.0.1"));
        window.resize(1100, 640);
    }
    // Written once, at exit, with their own types: ports stay texts.
    QCOMPARE(stored(QStringLiteral("use_udp")).toBool(), true);
    QCOMPARE(stored(QStringLiteral("server_port")), QVariant(QStringLiteral("7001")));
    QCOMPARE(stored(QStringLiteral("labelMeter1")), QVariant(QStringLiteral("Studio 1")));
    QCOMPARE(stored(QStringLiteral("labelMeter3")), QVariant(QStringLiteral("CRM")));
    QCOMPARE(stored(QStringLiteral("current_screen")).toInt(), 0);
    QVERIFY(!stored(QStringLiteral("geometry")).toByteArray().isEmpty());

    MainWindow again;
    QCOMPARE(again.size(), QSize(1100, 640));
    QCOMPARE(labelText(again, "labelMeter1"), QStringLiteral("Studio 1"));
}

void TestSettingsWindow::renameIsStoredAtOnce()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    whenModal([](QWidget *modal) {
        auto *prompt = qobject_cast<QInputDialog *>(modal);
        prompt->setTextValue(QStringLiteral("On Air"));
        prompt->accept();
    });
    QTest::mouseClick(window.findChild<myLabel *>(QStringLiteral("labelMeter3")), Qt::LeftButton);
    // A power cut now must not lose the name.
    QCOMPARE(stored(QStringLiteral("labelMeter3")), QVariant(QStringLiteral("On Air")));
}

void TestSettingsWindow::dialogOkRebuildsAndStores()
{
    const QString port = QString::number(freeUdpPort());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    whenModal([port](QWidget *modal) {
        auto *dialog = qobject_cast<CCommDialog *>(modal);
        QVERIFY(dialog);
        dialog->findChild<QCheckBox *>(QStringLiteral("checkBox_useudp"))->setChecked(true);
        dialog->findChild<QRadioButton *>(QStringLiteral("radioButton_client"))->setChecked(true);
        dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_client_host"))->setText(QStringLiteral("127.0.0.1"));
        dialog->findChild<QLineEdit *>(QStringLiteral("lineEdit_client_port"))->setText(port);
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("pushButton_ok")), Qt::LeftButton);
    });
    QTest::mouseClick(window.findChild<myLabel *>(QStringLiteral("settingsButton")), Qt::LeftButton);

    QCOMPARE(window.windowTitle(), QStringLiteral("Lumora Meters - (%1)").arg(port));
    QVERIFY(window.link().udpSocket()->state() == QAbstractSocket::BoundState);
    QCOMPARE(window.link().udpSocket()->localPort(), port.toUShort());
    QCOMPARE(stored(QStringLiteral("client_port")), QVariant(port));
    QCOMPARE(stored(QStringLiteral("use_udp")).toBool(), true);
    // The dialog is gone once the link is rebuilt.
    TestSupport::settle();
    QVERIFY(window.findChildren<CCommDialog *>().isEmpty());
}

void TestSettingsWindow::dialogCancelStoresNothing()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    whenModal([](QWidget *modal) {
        modal->findChild<QCheckBox *>(QStringLiteral("checkBox_useudp"))->setChecked(true);
        QTest::mouseClick(modal->findChild<QPushButton *>(QStringLiteral("pushButton_cancel")), Qt::LeftButton);
    });
    QTest::mouseClick(window.findChild<myLabel *>(QStringLiteral("settingsButton")), Qt::LeftButton);
    QCOMPARE(window.linkSettings(), CommSettings());
    QVERIFY(!QFile::exists(TestSupport::settingsPath()));
    QVERIFY(window.findChildren<CCommDialog *>().isEmpty());
}

void TestSettingsWindow::editWhileRunningIsTaken()
{
    store(QStringLiteral("use_udp"), true);
    store(QStringLiteral("client_host"), QStringLiteral("127.0.0.1"));
    store(QStringLiteral("client_port"), QString::number(freeUdpPort()));
    auto window = std::make_unique<MainWindow>();
    const QString port = QString::number(freeUdpPort());

    // An installer sets the group and a name with an editor, which writes a
    // new file and renames it over the old one.
    const QString path = TestSupport::settingsPath();
    QFile::copy(path, path + QStringLiteral(".new"));
    {
        QSettings edit(path + QStringLiteral(".new"), QSettings::NativeFormat);
        edit.setValue(QStringLiteral("client_port"), port);
        edit.setValue(QStringLiteral("labelMeter2"), QStringLiteral("Booth"));
    }
    QVERIFY(::rename(QFile::encodeName(path + QStringLiteral(".new")), QFile::encodeName(path)) == 0);

    QTRY_COMPARE_WITH_TIMEOUT(labelText(*window, "labelMeter2"), QStringLiteral("Booth"), 2000);
    // As after OK in the dialog: the link is rebuilt on the new port.
    QCOMPARE(window->linkSettings().client_port, port);
    QCOMPARE(window->link().udpSocket()->localPort(), port.toUShort());

    // The quit does not undo it.
    window.reset();
    QCOMPARE(stored(QStringLiteral("client_port")), QVariant(port));
    QCOMPARE(stored(QStringLiteral("labelMeter2")), QVariant(QStringLiteral("Booth")));
}

void TestSettingsWindow::sigtermWritesOnceAndExitsCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM (logout, service stop)") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT);
    QTest::newRow("SIGHUP (terminal gone)") << int(SIGHUP);
}

void TestSettingsWindow::sigtermWritesOnceAndExitsCleanly()
{
    QFETCH(int, signalNumber);
    QTemporaryDir home;
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("lumora.app.debug=true;lumora.settings.debug=true"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QStringLiteral(LUMORA_METERS_BIN), QStringList());
    QVERIFY(program.waitForStarted());

    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += program.readAll()).contains("lumora.app: running"), 20000);
    ::kill(pid_t(program.processId()), signalNumber);
    QVERIFY(program.waitForFinished(20000));
    output += program.readAll();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(output.count("settings written"), 1);

    QSettings written(home.path() + QStringLiteral("/Korvel B.V./Lumora Meters.conf"), QSettings::NativeFormat);
    QCOMPARE(written.value(QStringLiteral("labelMeter2")).toString(), QStringLiteral("Sub"));
    QVERIFY(!written.value(QStringLiteral("geometry")).toByteArray().isEmpty());
}

LUMORA_TEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
