#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QGuiApplication>
#include <QInputDialog>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QWindow>

#include <memory>

#include "ccommdialog.h"
#include "controlwiring.h"
#include "cuefile.h"
#include "designscreen.h"
#include "scaledlayout.h"
#include "kioskmode.h"
#include "logging.h"
#include "meterlink.h"
#include "mylabel.h"
#include "plaintooltip.h"
#include "releaseclock.h"
#include "resourceinit.h"
#include "screenlayout.h"
#include "screenrule.h"
#include "secondticker.h"
#include "settingsfile.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"
#include "timesyncwatch.h"
#include "version.h"

namespace {

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
{
    lumoraInitResources();
    ui->setupUi(this);
    // The organisation and application names that select the settings store
    // are set once, by main (and the tests' own main).

    settingsButton = new myLabel(QString(), this);
    settingsButton->setObjectName(QStringLiteral("settingsButton"));
    settingsButton->setStyleSheet(QStringLiteral("image: url(:/resources/png/Settings.png);"));
    settingsButton->setGeometry(DesignScreen::kRects[DesignScreen::SettingsButton]);

    // Each name label is called after the key its text is stored under.
    labelMeter1 = new myLabel(QString(), this);
    labelMeter1->setObjectName(SettingsKeys::kLabelKeys[0]);
    setupMeterLabel(labelMeter1, DesignScreen::kRects[DesignScreen::LabelMeter1]);
    labelMeter2 = new myLabel(QString(), this);
    labelMeter2->setObjectName(SettingsKeys::kLabelKeys[1]);
    setupMeterLabel(labelMeter2, DesignScreen::kRects[DesignScreen::LabelMeter2]);
    labelMeter3 = new myLabel(QString(), this);
    labelMeter3->setObjectName(SettingsKeys::kLabelKeys[2]);
    setupMeterLabel(labelMeter3, DesignScreen::kRects[DesignScreen::LabelMeter3]);

    // Operator text must never be read as markup.
    ui->timelabel->setTextFormat(Qt::PlainText);
    ui->footerlabel->setTextFormat(Qt::PlainText);
    // The artwork is dark: the footer reads in a quiet grey.
    QPalette footerPalette = ui->footerlabel->palette();
    footerPalette.setColor(QPalette::WindowText, QColor(150, 158, 168));
    ui->footerlabel->setPalette(footerPalette);
    ui->footerlabel->setText(tr("Lumora Meters for the studio wall - v%1.%2").arg(LumoraVersion::kMajor).arg(LumoraVersion::kMinor));

    background = new QPixmap(QStringLiteral(":/resources/png/LumoraBackground.png"));
    m_link = new MeterLink(this);

    // The form's widgets in the order of the design table.
    const std::array<QWidget *, DesignScreen::kWidgetCount> placed = {
        ui->ProgLeft, ui->ProgRight, ui->SubLeft, ui->SubRight, ui->CrmLeft, ui->CrmRight,
        ui->AnalogClock, ui->DigitalClock, labelMeter1, labelMeter2, labelMeter3,
        ui->timelabel, ui->footerlabel, settingsButton,
    };
    for (int i = 0; i < DesignScreen::kWidgetCount; ++i)
        placed[i]->setGeometry(DesignScreen::kRects[i]);
    designGeometry = DesignScreen::kRects;

    layoutPending = false;

    TeskAnalogClock *clock = ui->AnalogClock;
    clock->setGeometry(DesignScreen::kRects[DesignScreen::AnalogClock]);
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

    const ReleaseClock::Meters meters = {ui->ProgLeft, ui->ProgRight, ui->SubLeft,
                                         ui->SubRight, ui->CrmLeft, ui->CrmRight};
    for (TeskPPMMeter *meter : meters)
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
    auto *timeSync = new TimeSyncWatch(ui->timelabel, this);

    // The link-state mark sits just left of the settings icon and scales
    // with the screen like every other widget.
    m_linkMark = new QLabel(this);
    m_linkMark->setObjectName(QStringLiteral("linkStateMark"));
    m_linkMark->setGeometry(DesignScreen::kLinkMark);
    m_linkMark->setStyleSheet(QStringLiteral("QLabel { background-color: rgb(220, 40, 40); border-radius: 8px; }"));
    m_linkMark->hide();
    // While no meter data comes, each pair's header says so in red, to be
    // read across the room; the bars fall as they always have.
    for (size_t i = 0; i < m_noData.size(); ++i) {
        QLabel *mark = new QLabel(tr("NO DATA"), this);
        mark->setObjectName(QStringLiteral("noDataMark%1").arg(i + 1));
        mark->setAlignment(Qt::AlignCenter);
        mark->setGeometry(DesignScreen::kNoDataMarks[i]);
        QFont font(QStringLiteral("DejaVu Sans"), ScaledLayout::kNoDataPt);
        font.setBold(true);
        mark->setFont(font);
        mark->setStyleSheet(QStringLiteral("QLabel { background-color: rgb(200, 30, 30); color: white; }"));
        mark->hide();
        m_noData[i] = mark;
    }

    ScreenLayout::Widgets laidOut;
    laidOut.placed = placed;
    laidOut.meters = meters;
    laidOut.labels = {labelMeter1, labelMeter2, ui->timelabel, labelMeter3};
    laidOut.footer = ui->footerlabel;
    laidOut.digitalClock = ui->DigitalClock;
    laidOut.linkMark = m_linkMark;
    laidOut.noData = m_noData;
    m_layout = new ScreenLayout(laidOut);

    m_release = new ReleaseClock(meters, this);
    // On arrival the newest packet of a read sets the targets; on a frame's
    // pull every packet counts, in order, so each meets the tick it would
    // have met.
    connect(m_link, &MeterLink::levelsDecoded, m_release, &ReleaseClock::setTargets);
    connect(m_link, &MeterLink::packetDecoded, m_release, &ReleaseClock::pulledPacket);
    connect(m_release, &ReleaseClock::pacedChanged, m_link, &MeterLink::setPaced);
    connect(m_release, &ReleaseClock::pullRequested, m_link, &MeterLink::pull);
    connect(m_link, &MeterLink::silenceBegan, m_release, &ReleaseClock::dropToFloor);
    connect(m_link, &MeterLink::stateChanged, this, &MainWindow::showLinkState);

    // The studio's control channel sets the end mark, the ring, the dots and
    // the names, and reads back what the display shows.
    ControlWiring::Parts controlParts;
    controlParts.clock = ui->AnalogClock;
    controlParts.ticker = secondTicker;
    controlParts.timeSync = timeSync;
    controlParts.levelsDb = [meters] {
        std::array<float, 6> levels{};
        for (size_t i = 0; i < levels.size(); ++i)
            levels[i] = float(meters[i]->dBPosition());
        return levels;
    };
    controlParts.rename = [this](int pair, const QString &name) { renameFromControl(pair, name); };
    controlParts.link = m_link;
    controlParts.cuesPath = cueFilePathFor(userSettingsPath());
    controlParts.meter = ui->ProgLeft;
    m_control = new ControlWiring(controlParts, this);

    // Before the settings: restoring a full-screen geometry starts the
    // pointer hiding at once.
    m_kiosk = new KioskMode(this);

    readSettings();
    setupLink();
    m_control->setNames(names());
    m_control->apply(m_controlSettings);
    // One paint per refresh of the screen the window opens on; once shown,
    // of the screen it is on (showEvent).
    followScreen(QGuiApplication::screenAt(geometry().center()));
    m_release->start();

    emptyBackground = new QPixmap(QStringLiteral(":/resources/png/SonavoBackgroundEmpty.png"));
    scaledBackground = new QPixmap();
    scaledEmptyBackground = new QPixmap();
}

MainWindow::~MainWindow()
{
    // Closes the serial port before the settings are written.
    delete m_link;
    m_link = nullptr;
    // Nothing is taken from the file any more: the link is gone.
    disconnect(m_settingsFile, nullptr, this, nullptr);
    writeSettings();
    delete ui;
    delete m_layout;
    delete background;
    delete emptyBackground;
    delete scaledBackground;
    delete scaledEmptyBackground;
}

// ---- Settings and placement ----------------------------------------------

void MainWindow::readSettings()
{
    m_settingsFile = new SettingsFile(userSettingsPath(), &openUserSettings, this);
    const StoredSettings stored = m_settingsFile->read();
    // An edit of the file while the display runs is taken like the dialog's
    // OK or a rename, so the exit write does not undo it.
    connect(m_settingsFile, &SettingsFile::changedOnDisk, this, &MainWindow::takeOutsideChange);

    commSettings = stored.comm;
    m_controlSettings = stored.control;
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

StoredSettings MainWindow::shownSettings()
{
    StoredSettings shown;
    shown.comm = commSettings;
    shown.control = m_controlSettings;
    shown.currentScreen = currentScreen();
    shown.geometry = saveGeometry();
    shown.labels = {labelMeter1->text(), labelMeter2->text(), labelMeter3->text()};
    return shown;
}

void MainWindow::writeSettings()
{
    m_settingsFile->write(shownSettings());
    qCDebug(lcSettings) << "settings written to" << userSettingsPath();
}

void MainWindow::takeOutsideChange(const StoredSettings &now, const StoredSettings &before)
{
    // Only what changed in the file: whatever the operator did here since
    // the last write stays.
    const StoredSettings shown = shownSettings();
    const StoredSettings next = keepChangesOnDisk(shown, before, now);

    myLabel *const labels[3] = {labelMeter1, labelMeter2, labelMeter3};
    for (size_t i = 0; i < next.labels.size(); ++i) {
        if (next.labels[i] != shown.labels[i])
            labels[i]->setText(next.labels[i]);
    }
    m_control->setNames(names());
    if (next.control != m_controlSettings) {
        m_controlSettings = next.control;
        m_control->apply(m_controlSettings);
    }

    if (next.geometry != shown.geometry) {
        restoreGeometry(next.geometry);
    } else if (next.currentScreen != shown.currentScreen) {
        const QList<QScreen *> screens = QGuiApplication::screens();
        if (next.currentScreen >= 0 && next.currentScreen < screens.size())
            move(screens.at(next.currentScreen)->geometry().topLeft());
    }

    // As after the dialog's OK: only a changed link is rebuilt, or one whose
    // socket could not be set up.
    if (next.comm == commSettings)
        return;
    const CommSettings linkBefore = commSettings;
    commSettings = next.comm;
    const LinkState state = m_link->state();
    if (!sameLink(linkBefore, commSettings) || state == LinkState::BindFailed
        || state == LinkState::SendBindFailed || state == LinkState::AddressNotLocal)
        setupLink();
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
    m_control->setNames(names());
}

void MainWindow::renameFromControl(int pair, const QString &name)
{
    myLabel *const labels[3] = {labelMeter1, labelMeter2, labelMeter3};
    if (pair < 0 || pair > 2)
        return;
    // As a click's rename, but an empty name is taken: the sender meant it.
    labels[pair]->setText(name);
    writeSettings();
    m_control->setNames(names());
}

std::array<QString, 3> MainWindow::names() const
{
    return {labelMeter1->text(), labelMeter2->text(), labelMeter3->text()};
}

void MainWindow::labelMeter1Clicked() { promptForLabel(labelMeter1, tr("Meter 1 label:")); }
void MainWindow::labelMeter2Clicked() { promptForLabel(labelMeter2, tr("Meter 2 label:")); }
void MainWindow::labelMeter3Clicked() { promptForLabel(labelMeter3, tr("Meter 3 label:")); }

// ---- Communication dialog ---------------------------------------------------

void MainWindow::openSettings()
{
    const CommSettings before = commSettings;
    commDialog = new CCommDialog(this, &commSettings);
    const int result = commDialog->exec();
    // Reopening the port or the socket glitches the meters on air, so only
    // a changed link is rebuilt, or one whose socket could not be set up (a
    // port another program held may be free now).
    const LinkState state = m_link->state();
    if (!sameLink(before, commSettings) || state == LinkState::BindFailed
        || state == LinkState::SendBindFailed || state == LinkState::AddressNotLocal)
        setupLink();
    if (result == QDialog::Accepted)
        writeSettings();
    // One dialog per opening; keeping them would grow the window for ever.
    delete commDialog;
    commDialog = nullptr;
}

// ---- Frame beat ---------------------------------------------------------------

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The native window exists from the first show on; from then the frame
    // beat follows the screen it is on, wherever it moves.
    QWindow *window = windowHandle();
    if (m_screenFollowed || !window)
        return;
    m_screenFollowed = true;
    connect(window, &QWindow::screenChanged, this, &MainWindow::followScreen);
    followScreen(window->screen());
}

// One paint per refresh of this screen, at its rate now and as it changes.
void MainWindow::followScreen(QScreen *screen)
{
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    disconnect(m_rateFollowed);
    if (screen)
        m_rateFollowed = connect(screen, &QScreen::refreshRateChanged, m_release, &ReleaseClock::setRefreshRate);
    m_release->setRefreshRate(screen ? screen->refreshRate() : 0.0);
}

// ---- Scaled layout ----------------------------------------------------------

void MainWindow::resizeEvent(QResizeEvent *event)
{
    windowSize = event->size();
    layoutPending = true;
}

void MainWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (layoutPending && !background->isNull()
        && m_layout->run(windowSize, *background, *emptyBackground, devicePixelRatioF(),
                         *scaledBackground, *scaledEmptyBackground)) {
        layoutPending = false;
        update();
    }
    m_layout->paint(painter, *scaledBackground, *scaledEmptyBackground);
}

// ---- The meter data link ----------------------------------------------------

void MainWindow::setupLink()
{
    // The meters fall to the floor from here.
    m_release->dropToFloor();
    m_link->rebuild(commSettings);
    setWindowTitle(QCoreApplication::applicationName() + QStringLiteral(" - (") + m_link->name()
                   + QStringLiteral(")"));
    showLinkState(m_link->state(), m_link->where());
}

void MainWindow::setLinkSettings(const CommSettings &settings)
{
    commSettings = settings;
    setupLink();
}

void MainWindow::showLinkState(LinkState state, const QString &where)
{
    // The place and the reason come from settings, the network and the system.
    m_linkMark->setToolTip(plainToolTip(linkStateTooltip(state, where, m_link->reason())));
    m_linkMark->setVisible(state != LinkState::Live);
    // No data while the link is silent: a server whose sends fail still
    // shows its console's levels. A link just set up shows it once it has
    // waited its second, so a start or a settings change does not flash.
    const bool noData = state != LinkState::Live && m_link->isSilent() && !m_link->awaitsFirstData();
    for (QLabel *mark : m_noData)
        mark->setVisible(noData);
    if (m_control)
        m_control->setLinkState(state, where, m_link->reason(), !noData);
}

void MainWindow::onDataAvailable() { m_link->readSerial(); }
void MainWindow::udpReceive() { m_link->readDatagrams(); }
void MainWindow::meterRelease() { m_release->frame(); }
