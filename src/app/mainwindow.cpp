#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QUdpSocket>
#include <QWindow>

#include <QSettings>

#include <memory>

#include "artworkscale.h"
#include "ccommdialog.h"
#include "logging.h"
#include "mylabel.h"
#include "resourceinit.h"
#include "scaledlayout.h"
#include "screenrule.h"
#include "secondticker.h"
#include "settingsstore.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"
#include "timesyncwatch.h"

namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 9;
constexpr int kPointerHideMs = 3000;

const char kWhiteLabelStyle[] = "QLabel\n{\ncolor: rgb(255, 255, 255);\n}";

void setupMeterLabel(myLabel *label, const QRect &geometry)
{
    label->setGeometry(geometry);
    label->setTextFormat(Qt::PlainText);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags())
    , ui(new Ui::MainWindow)
    , serialPort(nullptr)
    , releaseTimer(nullptr)
    , commDialog(nullptr)
    , windowSize(-1, -1)
    , background(nullptr)
    , emptyBackground(nullptr)
    , scaledBackground(nullptr)
    , scaledEmptyBackground(nullptr)
    , layoutPending(false)
    , settingsButton(nullptr)
    , labelMeter1(nullptr)
    , labelMeter2(nullptr)
    , labelMeter3(nullptr)
    , designGeometry{}
    , releaseStep(0.133)
    , releaseInterval(10)
    , udpSocket(nullptr)
    , m_datagramFilter(QString())
{
    m_linkClock.start();
    meterLevels.fill(-50.0);
    lumoraInitResources();
    ui->setupUi(this);

    QCoreApplication::setOrganizationName(QStringLiteral("Korvel B.V."));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.nl"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora Meters"));

    settingsButton = new myLabel(QString(), this);
    settingsButton->setObjectName(QStringLiteral("settingsButton"));
    settingsButton->setStyleSheet(QStringLiteral("image: url(:/resources/png/Settings.png);"));
    settingsButton->setGeometry(900, 28, 25, 25);

    labelMeter1 = new myLabel(QString(), this);
    labelMeter1->setObjectName(QStringLiteral("labelMeter1"));
    setupMeterLabel(labelMeter1, QRect(44, 502, 121, 31));
    labelMeter2 = new myLabel(QString(), this);
    labelMeter2->setObjectName(QStringLiteral("labelMeter2"));
    setupMeterLabel(labelMeter2, QRect(194, 502, 131, 31));
    labelMeter3 = new myLabel(QString(), this);
    labelMeter3->setObjectName(QStringLiteral("labelMeter3"));
    setupMeterLabel(labelMeter3, QRect(830, 502, 101, 31));

    // Operator text must never be read as markup.
    ui->timelabel->setTextFormat(Qt::PlainText);
    ui->footerlabel->setTextFormat(Qt::PlainText);
    // The artwork is dark: the footer reads in a quiet grey.
    QPalette footerPalette = ui->footerlabel->palette();
    footerPalette.setColor(QPalette::WindowText, QColor(150, 158, 168));
    ui->footerlabel->setPalette(footerPalette);
    ui->footerlabel->setText(tr("Lumora Meters for the studio wall - v%1.%2").arg(kVersionMajor).arg(kVersionMinor));

    background = new QPixmap(QStringLiteral(":/resources/png/LumoraBackground.png"));
    serialPort = nullptr;
    udpSocket = new QUdpSocket(this);

    const QWidget *layoutWidgets[14] = {
        ui->ProgLeft, ui->ProgRight, ui->SubLeft, ui->SubRight, ui->CrmLeft, ui->CrmRight,
        ui->AnalogClock, ui->DigitalClock, labelMeter1, labelMeter2, labelMeter3,
        ui->timelabel, ui->footerlabel, settingsButton,
    };
    for (int i = 0; i < 14; ++i)
        designGeometry[i] = layoutWidgets[i]->geometry();

    releaseStep = 0.133;
    layoutPending = false;
    releaseInterval = 10;
    meterLevels.fill(-50.0);

    TeskAnalogClock *clock = ui->AnalogClock;
    clock->setGeometry(348, 85, 410, 410);
    clock->setHourLines(true);
    clock->setHourLinesColor(QColor(0, 255, 0, 255));
    clock->setMinuteLines(true);
    clock->setMinuteLinesLength(4);
    clock->setMinuteLinesColor(QColor(0, 170, 0, 255));
    clock->setSecondDots(true);
    clock->setSecondDotsCountDown(false);
    clock->setDotSize(4);
    clock->setDotColor(QColor(255, 255, 255, 255));
    clock->setHands(true);
    clock->setHourHandColor(QColor(255, 0, 0, 128));
    clock->setHourHandBorder(24);
    clock->setHourHandLength(12);
    clock->setHourHandWidth(12);
    clock->setMinuteHandColor(QColor(0, 0, 255, 128));
    clock->setMinuteHandBorder(8);
    clock->setMinuteHandLength(28);
    clock->setMinuteHandWidth(8);

    m_meters = {ui->ProgLeft, ui->ProgRight, ui->SubLeft, ui->SubRight, ui->CrmLeft, ui->CrmRight};
    for (TeskPPMMeter *meter : m_meters)
        meter->setGradientForground(true);

    QLabel *const whiteLabels[4] = {labelMeter1, labelMeter2, ui->timelabel, labelMeter3};
    for (QLabel *label : whiteLabels)
        label->setStyleSheet(QString::fromLatin1(kWhiteLabelStyle));
    for (QLabel *label : whiteLabels)
        label->setAlignment(Qt::AlignCenter);

    connect(settingsButton, &myLabel::clicked, this, &MainWindow::openSettings);
    // The names are edited by clicking them.
    connect(labelMeter1, &myLabel::clicked, this, &MainWindow::labelMeter1Clicked);
    connect(labelMeter2, &myLabel::clicked, this, &MainWindow::labelMeter2Clicked);
    connect(labelMeter3, &myLabel::clicked, this, &MainWindow::labelMeter3Clicked);

    TeskDigitalClock *digital = ui->DigitalClock;
    QFont general(QStringLiteral("Bitstream Vera Sans"), 36, 75, false);
    general.setStrikeOut(false);
    digital->setFont(general);
    digital->setTimeDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 40));
    digital->setTimeDisplayFontColor(QColor(255, 255, 255, 255));
    digital->setDateDisplay(true);
    digital->setDateDisplayFont(QFont(QStringLiteral("DejaVu Sans"), 24));
    digital->setDateDisplayFontColor(QColor(255, 255, 255, 255));

    // Both clocks tick together on the system's second, and the time
    // caption says when that second cannot be trusted.
    auto *secondTicker = new SecondTicker(this);
    ui->AnalogClock->setTicker(secondTicker);
    digital->setTicker(secondTicker);
    new TimeSyncWatch(ui->timelabel, this);

    // The link-state mark sits just left of the settings icon and scales
    // with the screen like every other widget.
    m_linkMark = new QLabel(this);
    m_linkMark->setObjectName(QStringLiteral("linkStateMark"));
    m_linkMark->setGeometry(ScaledLayout::kLinkMarkDesign);
    m_linkMark->setStyleSheet(QStringLiteral("QLabel { background-color: rgb(220, 40, 40); border-radius: 8px; }"));
    m_linkMark->hide();

    m_retryTimer = new QTimer(this);
    m_retryTimer->setInterval(1000);
    connect(m_retryTimer, &QTimer::timeout, this, &MainWindow::retrySerialPort);

    // Before the settings: restoring a full-screen geometry starts the
    // pointer hiding at once.
    m_pointerTimer = new QTimer(this);
    m_pointerTimer->setSingleShot(true);
    m_pointerTimer->setInterval(kPointerHideMs);
    connect(m_pointerTimer, &QTimer::timeout, this, [] {
        if (!QGuiApplication::overrideCursor())
            QGuiApplication::setOverrideCursor(Qt::BlankCursor);
    });

    readSettings();
    setupLink();

    releaseTimer = new QTimer(this);
    // Precise: the tick sets the fall speed, so it must not drift; Qt would
    // treat a coarse 10 ms timer as precise anyway.
    releaseTimer->setTimerType(Qt::PreciseTimer);
    connect(releaseTimer, &QTimer::timeout, this, &MainWindow::meterRelease);
    releaseTimer->start(releaseInterval);

    m_silenceTimer = new QTimer(this);
    m_silenceTimer->setSingleShot(true);
    m_silenceTimer->setTimerType(Qt::PreciseTimer);
    connect(m_silenceTimer, &QTimer::timeout, this, &MainWindow::meterRelease);

    emptyBackground = new QPixmap(QStringLiteral(":/resources/png/SonavoBackgroundEmpty.png"));
    scaledBackground = new QPixmap();
    scaledEmptyBackground = new QPixmap();
}

MainWindow::~MainWindow()
{
    if (serialPort && serialPort->isOpen())
        serialPort->close();
    writeSettings();
    delete ui;
    if (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
    delete background;
    delete emptyBackground;
    delete scaledBackground;
    delete scaledEmptyBackground;
}

// ---- Settings and placement ----------------------------------------------

void MainWindow::readSettings()
{
    const std::unique_ptr<QSettings> settings = openUserSettings();
    const StoredSettings stored = readStored(*settings);

    commSettings = stored.comm;
    labelMeter1->setText(stored.labels[0]);
    labelMeter2->setText(stored.labels[1]);
    labelMeter3->setText(stored.labels[2]);

    const QList<QScreen *> screens = QGuiApplication::screens();
    QScreen *screen = stored.currentScreen >= 0 && stored.currentScreen < screens.size()
        ? screens.at(stored.currentScreen)
        : QGuiApplication::primaryScreen();
    if (screen)
        move(screen->geometry().topLeft());

    restoreGeometry(stored.geometry);
}

void MainWindow::writeSettings()
{
    StoredSettings stored;
    stored.comm = commSettings;
    stored.currentScreen = currentScreen();
    stored.geometry = saveGeometry();
    stored.labels = {labelMeter1->text(), labelMeter2->text(), labelMeter3->text()};

    const std::unique_ptr<QSettings> settings = openUserSettings();
    writeStored(*settings, stored);
    qCDebug(lcSettings) << "settings written to" << settings->fileName();
}

int MainWindow::currentScreen()
{
    QVector<QRect> areas;
    for (const QScreen *screen : QGuiApplication::screens())
        areas << screen->availableGeometry();
    return ScreenRule::currentScreen(areas, pos().x(), isMaximized());
}

// ---- Meter names ------------------------------------------------------------

void MainWindow::promptForLabel(myLabel *label, const QString &prompt)
{
    bool ok = false;
    const QString text = QInputDialog::getText(this, tr("Quandel"), prompt, QLineEdit::Normal,
                                               label->text(), &ok);
    if (!ok || text.isEmpty())
        return;
    label->setText(text);
    // Stored at once, so a power cut does not lose the new name.
    writeSettings();
}

void MainWindow::labelMeter1Clicked() { promptForLabel(labelMeter1, tr("Meter 1 label:")); }
void MainWindow::labelMeter2Clicked() { promptForLabel(labelMeter2, tr("Meter 2 label:")); }
void MainWindow::labelMeter3Clicked() { promptForLabel(labelMeter3, tr("Meter 3 label:")); }

// ---- Communication dialog ---------------------------------------------------

void MainWindow::openSettings()
{
    commDialog = new CCommDialog(this, &commSettings);
    const int result = commDialog->exec();
    setupLink();
    if (result == QDialog::Accepted)
        writeSettings();
    // One dialog per opening; keeping them would grow the window for ever.
    delete commDialog;
    commDialog = nullptr;
}

// ---- Scaled layout ----------------------------------------------------------

void MainWindow::resizeEvent(QResizeEvent *event)
{
    windowSize = event->size();
    layoutPending = true;
}

void MainWindow::runLayoutPass()
{
    const ScaledLayout::Result layout = ScaledLayout::compute(windowSize);
    if (!layout.valid)
        return;
    ++m_layoutPasses;

    // Let the old copies go first, so a resize never holds both sizes at once.
    *scaledBackground = QPixmap();
    *scaledEmptyBackground = QPixmap();
    m_fillerSecond = QPixmap();
    ArtworkScale::Scaled scaled = ArtworkScale::scale(*background, *emptyBackground, windowSize, devicePixelRatioF());
    *scaledBackground = std::move(scaled.background);
    *scaledEmptyBackground = std::move(scaled.fillerFirst.pixels);
    m_fillerFirstAt = scaled.fillerFirst.at;
    m_fillerSecond = std::move(scaled.fillerSecond.pixels);
    m_fillerSecondAt = scaled.fillerSecond.at;
    m_artworkOffset = QPoint(layout.dx, layout.dy);
    m_layoutScale = layout.scale;

    QWidget *const widgets[ScaledLayout::kWidgetCount] = {
        ui->ProgLeft, ui->ProgRight, ui->SubLeft, ui->SubRight, ui->CrmLeft, ui->CrmRight,
        ui->AnalogClock, ui->DigitalClock, labelMeter1, labelMeter2, labelMeter3,
        ui->timelabel, ui->footerlabel, settingsButton,
    };
    for (const ScaledLayout::Widget w : ScaledLayout::kLayoutOrder)
        widgets[w]->setGeometry(layout.rects[w]);
    m_linkMark->setGeometry(layout.linkMark);
    m_linkMark->setStyleSheet(QStringLiteral("QLabel { background-color: rgb(220, 40, 40); border-radius: %1px; }")
                                  .arg(layout.linkMark.width() / 2));

    if (layout.labelPt > 0) {
        QFont labelFont = labelMeter1->font();
        labelFont.setPointSize(layout.labelPt);
        for (QLabel *label : {static_cast<QLabel *>(labelMeter1), static_cast<QLabel *>(labelMeter2),
                              ui->timelabel, static_cast<QLabel *>(labelMeter3)})
            label->setFont(labelFont);
    }
    if (layout.footerPt > 0) {
        QFont footerFont = ui->footerlabel->font();
        footerFont.setPointSize(layout.footerPt);
        ui->footerlabel->setFont(footerFont);
    }
    if (layout.timePt > 0) {
        QFont time = ui->DigitalClock->TimeDisplayFont();
        time.setPointSize(layout.timePt);
        ui->DigitalClock->setTimeDisplayFont(time);
    }
    if (layout.datePt > 0) {
        QFont date = ui->DigitalClock->DateDisplayFont();
        date.setPointSize(layout.datePt);
        ui->DigitalClock->setDateDisplayFont(date);
    }

    for (TeskPPMMeter *meter : m_meters)
        meter->calcPosition();

    layoutPending = false;
    update();
}

void MainWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (layoutPending && !background->isNull())
        runLayoutPass();
    // The stretched filler shows only beside the artwork: two strips.
    painter.drawPixmap(m_fillerFirstAt, *scaledEmptyBackground);
    painter.drawPixmap(m_fillerSecondAt, m_fillerSecond);
    painter.drawPixmap(m_artworkOffset, *scaledBackground);
}

// ---- Full-screen kiosk use ----------------------------------------------

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_F11 && event->modifiers() == Qt::NoModifier) {
        toggleFullScreen();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::toggleFullScreen()
{
    if (isFullScreen()) {
        if (m_wasMaximized)
            showMaximized();
        else
            showNormal();
    } else {
        m_wasMaximized = isMaximized();
        showFullScreen();
    }
}

void MainWindow::setPointerHideDelay(int milliseconds)
{
    // An active timer restarts with the new delay.
    m_pointerTimer->setInterval(milliseconds);
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        updatePointerHiding();
}

void MainWindow::updatePointerHiding()
{
    if (isFullScreen()) {
        if (!m_watchingPointer) {
            qApp->installEventFilter(this);
            m_watchingPointer = true;
        }
        m_pointerTimer->start();
        return;
    }
    if (m_watchingPointer) {
        qApp->removeEventFilter(this);
        m_watchingPointer = false;
    }
    m_pointerTimer->stop();
    if (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Only installed while full screen: any mouse movement shows the pointer
    // again and restarts the 3 second wait.
    if (event->type() == QEvent::MouseMove) {
        if (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
        m_pointerTimer->start();
    }
    return QMainWindow::eventFilter(watched, event);
}
