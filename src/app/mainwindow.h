#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QSerialPort>
#include <QSize>

#include <array>
#include <optional>

#include "commsettings.h"
#include "datagramfilter.h"
#include "linksilence.h"
#include "linkstate.h"
#include "packetframer.h"

class CCommDialog;
class QLabel;
class QPixmap;
class QTimer;
class QUdpSocket;
class TeskPPMMeter;
class myLabel;
namespace Ui { class MainWindow; }

// The studio screen: six meters, the two clocks and the labels over the
// artwork, fed by the meter data link that the settings describe.
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

    // Read-only views for the status line, the tests and the benchmarks.
    const std::array<double, 6> &targetLevels() const { return meterLevels; }
    const CommSettings &linkSettings() const { return commSettings; }
    LinkState linkState() const { return m_linkState; }
    QSerialPort *currentSerialPort() const { return serialPort; }
    QUdpSocket *currentUdpSocket() const { return udpSocket; }
    // Valid packets decoded since the window was built, from any transport.
    quint64 packetsDecoded() const { return m_packetsDecoded; }
    const std::array<QRect, 14> &designRectangles() const { return designGeometry; }
    float currentLayoutScale() const { return m_layoutScale; }
    int layoutPasses() const { return m_layoutPasses; }
    const QPixmap &scaledArtwork() const { return *scaledBackground; }
    // Whether the 10 ms release tick runs; it rests while no meter can move.
    bool releaseTicking() const;

    // The link counts as silent after this long without a valid packet.
    void setSilenceTimeout(int milliseconds) { m_silence = LinkSilence(milliseconds); }
    // In full screen the pointer hides after this long without movement
    // (3 s; shorter in the tests).
    void setPointerHideDelay(int milliseconds);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void onDataAvailable();
    void meterRelease();
    void openSettings();
    void udpReceive();
    void labelMeter1Clicked();
    void labelMeter2Clicked();
    void labelMeter3Clicked();

private:
    void readSettings();
    void writeSettings();
    int currentScreen();
    void openSerialPort();
    void decodeMeterPacket(const unsigned char *packet);
    bool releaseMeter(TeskPPMMeter *meter, const double &level);
    void wakeRelease();

    void promptForLabel(myLabel *label, const QString &prompt);
    void runLayoutPass();
    void onSerialError(QSerialPort::SerialPortError error);
    void closeVanishedPort();
    void retrySerialPort();
    void drainDatagrams();
    void refreshLinkMark();
    void toggleFullScreen();
    void updatePointerHiding();

    Ui::MainWindow *ui;
    QSerialPort *serialPort;
    QTimer *releaseTimer;
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
    std::array<double, 6> meterLevels;
    double releaseStep;
    int releaseInterval;
    CommSettings commSettings;
    QUdpSocket *udpSocket;

    // Beyond the core members: the stream framer that replaces the serial
    // carry-over buffer, link health and the kiosk helpers.
    PacketFramer m_framer;
    std::array<TeskPPMMeter *, 6> m_meters{};
    QLabel *m_linkMark = nullptr;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_pointerTimer = nullptr;
    QTimer *m_silenceTimer = nullptr;  // watches the link while the release tick rests
    LinkState m_linkState = LinkState::PortClosed;
    LinkState m_linkProblem = LinkState::Live;  // set up problems; Live when none
    QString m_linkWhere;
    DatagramFilter m_datagramFilter;
    std::optional<quint16> m_broadcastPort;
    QElapsedTimer m_linkClock;
    LinkSilence m_silence;
    quint64 m_packetsDecoded = 0;
    bool m_silent = true;
    bool m_serialClosePending = false;
    QPoint m_artworkOffset;
    // scaledEmptyBackground holds the filler strip left of (or above) the
    // artwork; this is the one on the other side.
    QPoint m_fillerFirstAt;
    QPixmap m_fillerSecond;
    QPoint m_fillerSecondAt;
    bool m_wasMaximized = false;
    bool m_watchingPointer = false;
    float m_layoutScale = 1.0f;
    int m_layoutPasses = 0;
};
