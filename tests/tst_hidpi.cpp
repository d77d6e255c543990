#include <QPixmap>
#include <QtTest>

#include "mainwindow.h"
#include "screenlayout.h"
#include "testsupport.h"

// On a 2x screen the artwork is scaled to device pixels, so it is drawn
// without a second, blurring upscale; everything logical stays as at 1x.
class TestHiDpi : public QObject
{
    Q_OBJECT

private slots:
    void artworkIsScaledToDevicePixels();
};

void TestHiDpi::artworkIsScaledToDevicePixels()
{
    MainWindow window;
    window.resize(1000, 580);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(window.layout().passes() >= 1);
    QCOMPARE(window.devicePixelRatioF(), 2.0);

    const QPixmap &art = window.scaledArtwork();
    QCOMPARE(art.devicePixelRatio(), 2.0);
    QCOMPARE(art.size(), QSize(1972, 1160));  // 986 x 580 logical
    QCOMPARE(window.findChild<QWidget *>(QStringLiteral("ProgLeft"))->geometry(), QRect(61, 73, 12, 415));

    // The window is painted at full device resolution.
    const QImage shot = window.grab().toImage();
    QCOMPARE(shot.size(), QSize(2000, 1160));
}

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    qputenv("QT_SCALE_FACTOR", "2");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    TestHiDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"
