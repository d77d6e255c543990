#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QRect>
#include <QSize>

#include <array>

#include "commsettings.h"
#include "controlsettings.h"
#include "linkstate.h"

class CCommDialog;
class ControlWiring;
class KioskMode;
class LinkMarks;
class MeterLink;
class QLabel;
class QScreen;
class ReleaseClock;
class ScreenBeat;
class ScreenLayout;
class SettingsFile;
struct StoredSettings;
class myLabel;
namespace Ui { class MainWindow; }

// The studio screen: six meters, the two clocks and the labels over the
// artwork, fed by the meter data link that the settings describe. The window
// builds the screen, keeps the settings and wires the parts together:
//
// Of the members the window always had, serialPort and udpSocket now live in
// the link (MeterLink), and releaseTimer, meterLevels and releaseStep in the
// release (ReleaseClock).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Rebuilds the meter data link from commSettings and drops every meter
    // target to the floor.
    void setupLink();

    // Takes a new link description, as the settings dialog does, and
    // rebuilds the link from it.
    void setLinkSettings(const CommSettings &settings);

    // The parts, for the status line, the tests and the benchmarks.
    const CommSettings &linkSettings() const { return commSettings; }
    MeterLink &link() { return *m_link; }
    const MeterLink &link() const { return *m_link; }
    const ReleaseClock &release() const { return *m_release; }
    const ScreenLayout &layout() const { return *m_layout; }
    KioskMode &kiosk() { return *m_kiosk; }
    ControlWiring &control() { return *m_control; }
    const std::array<QRect, 14> &designRectangles() const { return designGeometry; }
    const QPixmap &scaledArtwork() const { return *scaledBackground; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void onDataAvailable();
    void meterRelease();
    void openSettings();
    void udpReceive();
    void labelMeter1Clicked();
    void labelMeter2Clicked();
    void labelMeter3Clicked();

private:
    ControlSettings readSettings();
    void writeSettings();
    StoredSettings shownSettings();
    void takeOutsideChange(const StoredSettings &now, const StoredSettings &before);
    void followLinkSettings(const CommSettings &before);
    int currentScreen();
    void promptForLabel(myLabel *label, const QString &prompt);
    void showLinkState(LinkState state, const QString &where);
    void renameFromControl(int pair, const QString &name);
    std::array<QString, 3> names() const;

    Ui::MainWindow *ui;
    CCommDialog *commDialog;
    QSize windowSize;
    QPixmap *background;
    QPixmap *emptyBackground;
    QPixmap *scaledBackground;
    QPixmap *scaledEmptyBackground;
    bool layoutPending;
    myLabel *settingsButton;
    myLabel *labelMeter1;
    myLabel *labelMeter2;
    myLabel *labelMeter3;
    std::array<QRect, 14> designGeometry;
    CommSettings commSettings;

    MeterLink *m_link = nullptr;
    ReleaseClock *m_release = nullptr;
    ScreenLayout *m_layout = nullptr;
    KioskMode *m_kiosk = nullptr;
    LinkMarks *m_marks = nullptr;  // the link-state mark and NO DATA
    SettingsFile *m_settingsFile = nullptr;
    ControlWiring *m_control = nullptr;  // holds the control settings as applied
    ScreenBeat *m_beat = nullptr;        // the frame beat follows the window's screen
};
