#pragma once

#include <QApplication>
#include <QPaintEvent>
#include <QRegion>
#include <QTemporaryDir>
#include <QtTest>

// Every test program that builds the main window keeps its settings in a
// private folder, so the user's own store is never touched.
#define LUMORA_TEST_MAIN(TestObject)                                           \
    int main(int argc, char *argv[])                                           \
    {                                                                          \
        QTemporaryDir configHome;                                              \
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());           \
        QApplication app(argc, argv);                                          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                               \
        TestSupport::nameApplication();                                        \
        TestObject tc;                                                         \
        QTEST_SET_MAIN_SOURCE_PATH                                             \
        return QTest::qExec(&tc, argc, argv);                                  \
    }

namespace TestSupport {

// The names that select the settings store, as the program's main sets them.
inline void nameApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.nl"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));
}

// Lets posted events (updates, queued calls) run, without waiting on time.
inline void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// The settings file the program uses under the private folder.
inline QString settingsPath()
{
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))
        + QStringLiteral("/Korvel B.V./Lumora Meters.conf");
}

// Counts the paints of the widget it filters, and what they covered.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    QRegion painted;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            painted += static_cast<QPaintEvent *>(event)->region();
        }
        return false;
    }
};

} // namespace TestSupport
