// Meter names that are too long for their label.
#include "labelfit.h"
#include "mylabel.h"

#include <QFontMetricsF>
#include <QImage>
#include <QTest>

namespace {

// The meter names' font at the design size, and the narrowest name label.
QFont designFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(15);
    return font;
}
constexpr int kNarrowest = 101;  // labelMeter3

} // namespace

class TestLabels : public QObject
{
    Q_OBJECT

private slots:
    void fit_data();
    void fit();
    void longNameDrawn();
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

QTEST_MAIN(TestLabels)
#include "tst_labels.moc"
