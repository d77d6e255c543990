// Meter names that are too long for their label.
#include "labelfit.h"
#include "mylabel.h"

#include <QFile>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QToolTip>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The meter names' font at the design size, and the narrowest name label.
QFont designFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(15);
    return font;
}
constexpr int kNarrowest = 101;  // labelMeter3

// The text a tooltip shows, taken as the toolkit takes it.
QString shownText(const QString &tip)
{
    return Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText() : tip;
}

} // namespace

class TestLabels : public QObject
{
    Q_OBJECT

private slots:
    void fit_data();
    void fit();
    void longNameDrawn();
    void hoverShowsTheNameAsItIs_data();
    void hoverShowsTheNameAsItIs();
};

void TestLabels::fit_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("shrunk");
    QTest::addColumn<bool>("elided");

    QTest::newRow("default name") << "CRM" << false << false;
    QTest::newRow("fits just") << "Studio 2" << false << false;
    QTest::newRow("shrinks") << "Studio 2 Prog" << true << false;
    QTest::newRow("shrinks to the limit, then cut") << "Studio 2 Programme Output" << true << true;
    QTest::newRow("one long word") << "Programmeuitgang" << true << true;
}

// Shrunk first, never below 60% of the label's size; cut at the end with
// "…" only when that is not enough; whatever is shown fits.
void TestLabels::fit()
{
    QFETCH(QString, name);
    QFETCH(bool, shrunk);
    QFETCH(bool, elided);

    const LabelFit fit = LabelFit::compute(name, designFont(), kNarrowest);
    QCOMPARE(fit.shrunk, shrunk);
    QCOMPARE(fit.elided, elided);
    QVERIFY(fit.font.pointSizeF() >= 9.0);
    QCOMPARE(fit.font.pointSizeF() < 15.0, shrunk);
    if (elided) {
        QCOMPARE(fit.font.pointSizeF(), 9.0);
        QVERIFY2(fit.shown.endsWith(QChar(0x2026)), qPrintable(fit.shown));
        QVERIFY(name.startsWith(fit.shown.chopped(1)));
    } else {
        QCOMPARE(fit.shown, name);
    }
    QVERIFY(QFontMetricsF(fit.font).horizontalAdvance(fit.shown) <= kNarrowest);
}

// Drawn in the label, a long name keeps clear of both edges instead of being
// cut at both ends; the label still holds, and its tooltip shows, all of it.
void TestLabels::longNameDrawn()
{
    const QString name = QStringLiteral("Studio 2 Programme Output");
    myLabel label(name);
    label.setTextFormat(Qt::PlainText);
    label.setAlignment(Qt::AlignCenter);
    label.setStyleSheet(QStringLiteral("QLabel\n{\ncolor: rgb(255, 255, 255);\n}"));
    label.setFont(designFont());
    label.setGeometry(0, 0, kNarrowest, 31);
    QCOMPARE(label.text(), name);
    QCOMPARE(label.toolTip(), name);

    QImage image(label.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    label.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    int left = image.width();
    int right = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qGray(image.pixel(x, y)) > 128) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
        }
    }
    QVERIFY2(left > 0 && right < image.width() - 1 && right - left > image.width() / 2,
             qPrintable(QStringLiteral("ink from %1 to %2").arg(left).arg(right)));
}

void TestLabels::hoverShowsTheNameAsItIs_data()
{
    QTest::addColumn<QString>("name");  // FIFO stands for a named pipe's path
    QTest::addColumn<bool>("plain");    // the tooltip stays plain text

    QTest::newRow("an image from a named pipe") << "name 1 <img src=FIFO>" << false;
    QTest::newRow("a style sheet from a named pipe") << "<link rel=stylesheet href=FIFO>Studio" << false;
    QTest::newRow("an entity") << "Mic &lt;2&gt;" << false;
    QTest::newRow("no markup") << "Studio <3 > Prog" << true;
}

// A name sent by a remote control and shown on hover is shown as it is, and
// no file that it names is read: a reader of a named pipe that nobody writes
// to would wait for good, on the GUI thread, after every restart.
void TestLabels::hoverShowsTheNameAsItIs()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    name.replace(QLatin1String("FIFO"), QFile::decodeName(fifo));
    // Lets each reader of the pipe go at once (end of file), and says one
    // came. The toolkit opens an image file more than once.
    std::atomic<bool> readerCame{false};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (true) {
            const int fd = ::open(fifo.constData(), O_WRONLY | O_CLOEXEC);
            if (stop || fd < 0) {
                if (fd >= 0)
                    ::close(fd);
                return;
            }
            readerCame = true;
            ::close(fd);
        }
    });

    myLabel label(name);
    label.setTextFormat(Qt::PlainText);
    label.setGeometry(0, 0, kNarrowest, 31);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), label.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&label, &hover);
    const bool read = readerCame;
    const QString tip = QToolTip::text();
    QToolTip::hideText();
    // A reader of our own ends the writer's wait.
    stop = true;
    const int own = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    if (own >= 0)
        ::close(own);

    QVERIFY2(!read, "the tooltip read the file that the name names");
    QCOMPARE(shownText(tip), name);
    if (plain)
        QCOMPARE(tip, name);
}

QTEST_MAIN(TestLabels)
#include "tst_labels.moc"
