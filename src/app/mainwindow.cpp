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
#include "linkmarks.h"
#include "linkrebuild.h"
#include "logging.h"
#include "meterlink.h"
#include "mylabel.h"
#include "plaintooltip.h"
#include "releaseclock.h"
#include "resourceinit.h"
#include "screenlayout.h"
#include "screenbeat.h"
#include "screenrule.h"
#include "secondticker.h"
#include "settingsfile.h"
#include "settingskeys.h"
#include "settingsstore.h"
#include "studiostyle.h"
#include "tallylamp.h"
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

    StudioStyle::styleAnalogClock(*ui->AnalogClock);
    StudioStyle::styleDigitalClock(*ui->DigitalClock);

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

    // Both clocks tick together on the system's second, and the time
    // caption says when that second cannot be trusted.
    auto *secondTicker = new SecondTicker(this);
    ui->AnalogClock->setTicker(secondTicker);
    ui->DigitalClock->setTicker(secondTicker);
    auto *timeSync = new TimeSyncWatch(ui->timelabel, this);

    m_marks = new LinkMarks(this);
    // Shown once a tally source is set.
    auto *tallyLamp = new TallyLamp(this);
    tallyLamp->setObjectName(QStringLiteral("tallyLamp"));
    tallyLamp->setGeometry(DesignScreen::kTallyLamp);
    tallyLamp->hide();

    ScreenLayout::Widgets laidOut;
    laidOut.placed = placed;
    laidOut.meters = meters;
    laidOut.labels = {labelMeter1, labelMeter2, ui->timelabel, labelMeter3};
    laidOut.footer = ui->footerlabel;
    laidOut.digitalClock = ui->DigitalClock;
    laidOut.linkMark = m_marks->mark();
    laidOut.tallyLamp = tallyLamp;
    laidOut.noData = m_marks->noData();
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
    controlParts.lamp = tallyLamp;
    controlParts.cuesPath = cueFilePathFor(userSettingsPath());
    controlParts.meter = ui->ProgLeft;
    m_control = new ControlWiring(controlParts, this);

    // Before the settings: restoring a full-screen geometry starts the
    // pointer hiding at once.
    m_kiosk = new KioskMode(this);

    const ControlSettings control = readSettings();
    setupLink();
    m_control->setNames(names());
    m_control->apply(control);
    // One paint per refresh of the screen the window opens on; once shown,
    // of the screen it is on (showEvent).
    m_beat = new ScreenBeat(m_release, this);
    m_beat->follow(QGuiApplication::screenAt(geometry().center()));
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
    delete m_marks;
    delete background;
    delete emptyBackground;
    delete scaledBackground;
    delete scaledEmptyBackground;
}

// ---- Settings and placement ----------------------------------------------

ControlSettings MainWindow::readSettings()
{
    m_settingsFile = new SettingsFile(userSettingsPath(), &openUserSettings, this);
    const StoredSettings stored = m_settingsFile->read();
    // An edit of the file while the display runs is taken like the dialog's
    // OK or a rename, so the exit write does not undo it.
    connect(m_settingsFile, &SettingsFile::changedOnDisk, this, &MainWindow::takeOutsideChange);

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
    return stored.control;
}

StoredSettings MainWindow::shownSettings()
{
    StoredSettings shown;
    shown.comm = commSettings;
    shown.control = m_control->settings();
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
    if (next.control != m_control->settings())
        m_control->apply(next.control);

    if (next.geometry != shown.geometry) {
        restoreGeometry(next.geometry);
    } else if (next.currentScreen != shown.currentScreen) {
        const QList<QScreen *> screens = QGuiApplication::screens();
        if (next.currentScreen >= 0 && next.currentScreen < screens.size())
            move(screens.at(next.currentScreen)->geometry().topLeft());
    }

    // As after the dialog's OK.
    if (next.comm == commSettings)
        return;
    const CommSettings linkBefore = commSettings;
    commSettings = next.comm;
    followLinkSettings(linkBefore);
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
    followLinkSettings(before);
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
    m_beat->followWindow(windowHandle());
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
    m_control->setTallySource(commSettings.tally_source);
    setWindowTitle(QCoreApplication::applicationName() + QStringLiteral(" - (") + m_link->name()
                   + QStringLiteral(")"));
    showLinkState(m_link->state(), m_link->where());
}

void MainWindow::followLinkSettings(const CommSettings &before)
{
    // Only a changed link is rebuilt, or one whose socket could not be set
    // up; the lamp's source changes without a rebuild.
    if (linkNeedsRebuild(before, commSettings, m_link->state()))
        setupLink();
    else
        m_control->setTallySource(commSettings.tally_source);
}

void MainWindow::setLinkSettings(const CommSettings &settings)
{
    commSettings = settings;
    setupLink();
}

void MainWindow::showLinkState(LinkState state, const QString &where)
{
    const bool noData = m_marks->show(state, where, m_link->reason(), m_link->isSilent(),
                                      m_link->awaitsFirstData());
    if (m_control)
        m_control->setLinkState(state, where, m_link->reason(), !noData);
}

void MainWindow::onDataAvailable() { m_link->readSerial(); }
void MainWindow::udpReceive() { m_link->readDatagrams(); }
void MainWindow::meterRelease() { m_release->frame(); }
