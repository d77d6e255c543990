// Per-operation costs of the screen: one release tick of the six meters,
// painting a meter (whole and only its changed rows), painting the two clocks
// (alone, and their once-a-second repaint on the shown window),
// drawing the artwork for the layout pass, and the whole layout pass. Widgets come from a real
// MainWindow so they are set up exactly as on the studio wall; painting goes
// through QWidget::render() into an image, with the offscreen platform.

#include "artworkscale.h"
#include "mainwindow.h"
#include "meterrelease.h"
#include "screenlayout.h"
#include "meterscale.h"
#include "programpattern.h"
#include "resourceinit.h"
#include "teskanalogclock.h"
#include "teskdigitalclock.h"
#include "teskppmmeter.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDateTime>
#include <QImage>
#include <QPixmap>
#include <QResizeEvent>
#include <QTemporaryDir>

#include <array>
#include <memory>
#include <vector>

namespace {

// Sizes of a meter at the design size and in a 1920 x 1080 window.
constexpr QSize kMeterDesign(12, 415);
constexpr QSize kMeter1080(22, 772);
constexpr int kPacketsPerSecond = 100;  // one packet per 10 ms tick
constexpr int kPatternPackets = 6000;   // a minute of programme

// Built once, destroyed in main() while the application object still lives.
std::unique_ptr<MainWindow> theWindow;

MainWindow *mainWindow()
{
    if (!theWindow)
        theWindow = std::make_unique<MainWindow>();
    return theWindow.get();
}

QDateTime fixedTime()
{
    return QDateTime(QDate(2026, 12, 6), QTime(10, 30, 30));
}

// One tick as MainWindow::meterRelease() does it for each meter: rise at
// once or fall by one step, place the bar, repaint its changed rows.
void releaseMeter(TeskPPMMeter *meter, double level)
{
    const MeterRelease::ReleaseResult step = MeterRelease::releaseStep(meter->dBPosition(), level);
    if (!step.write)
        return;
    const int before = meter->barHeight();
    meter->assigndBPosition(step.value);
    if (meter->calcPosition())
        meter->update(meter->changedRows(before, meter->barHeight()));
}

void releaseTickOfSixMeters(benchmark::State &state)
{
    // Six meters on a shown window, so update() does its real work.
    QWidget host;
    host.resize(200, 450);
    std::array<TeskPPMMeter *, 6> meters{};
    for (int i = 0; i < 6; ++i) {
        meters[i] = new TeskPPMMeter(&host);
        meters[i]->setGradientForground(true);
        meters[i]->setGeometry(10 + 20 * i, 10, kMeterDesign.width(), kMeterDesign.height());
    }
    host.show();

    const ProgramPattern pattern(ProgramPattern::Kind::Program, kPacketsPerSecond, 1);
    std::vector<MeterPacket::Levels> packets(kPatternPackets);
    for (int n = 0; n < kPatternPackets; ++n)
        packets[n] = pattern.levelsAt(std::uint64_t(n));

    std::size_t n = 0;
    std::int64_t moved = 0;
    for (auto _ : state) {
        const MeterPacket::Levels &targets = packets[n];
        n = n + 1 == packets.size() ? 0 : n + 1;
        for (int i = 0; i < 6; ++i) {
            const int before = meters[i]->barHeight();
            releaseMeter(meters[i], targets[i]);
            moved += meters[i]->barHeight() != before;
        }
    }
    state.counters["bar moves/tick"] = benchmark::Counter(double(moved) / double(state.iterations()));
}

// A meter of the given size with its bar at about two thirds, drawn whole
// (Arg 0) or only the rows a four-pixel move of the bar touches (Arg 1).
void meterPaint(benchmark::State &state, QSize size)
{
    TeskPPMMeter *meter = mainWindow()->findChild<TeskPPMMeter *>(QStringLiteral("ProgLeft"));
    meter->resize(size);
    meter->assigndBPosition(-6.0);
    meter->calcPosition();
    const int bar = meter->barHeight();
    const bool partial = state.range(0) != 0;
    const QRegion region = partial ? QRegion(meter->changedRows(bar - 4, bar)) : QRegion(meter->rect());

    QImage image(size, QImage::Format_RGB32);
    for (auto _ : state) {
        meter->render(&image, QPoint(), region, QWidget::RenderFlags());
        benchmark::ClobberMemory();
    }
    state.counters["rows"] = benchmark::Counter(region.boundingRect().height());
}

void meterPaintDesign(benchmark::State &state) { meterPaint(state, kMeterDesign); }
void meterPaint1080(benchmark::State &state) { meterPaint(state, kMeter1080); }

void analogClockPaint(benchmark::State &state)
{
    TeskAnalogClock *clock = mainWindow()->findChild<TeskAnalogClock *>(QStringLiteral("AnalogClock"));
    clock->setTimeSource(fixedTime);
    clock->checkTime();
    QImage image(clock->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        clock->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        benchmark::ClobberMemory();
    }
    state.SetLabel(QStringLiteral("%1x%2").arg(clock->width()).arg(clock->height()).toStdString());
}

void digitalClockPaint(benchmark::State &state)
{
    TeskDigitalClock *clock = mainWindow()->findChild<TeskDigitalClock *>(QStringLiteral("DigitalClock"));
    clock->setTimeSource(fixedTime);
    clock->checkTime();
    QImage image(clock->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        clock->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        benchmark::ClobberMemory();
    }
    state.SetLabel(QStringLiteral("%1x%2").arg(clock->width()).arg(clock->height()).toStdString());
}

// The clocks' once-a-second repaint on the shown window, through the
// backing store as on the wall: the whole square, artwork and both clocks
// (Arg 0, as every second used to be), or only what the new second moved
// (Arg 1, as the clocks now ask), and that with a count-down ring stepping
// on each second (Arg 2; Arg 3 the whole square with the ring). The screen's copy is not included.
void clockSecond(benchmark::State &state)
{
    MainWindow *window = mainWindow();
    auto *analog = window->findChild<TeskAnalogClock *>(QStringLiteral("AnalogClock"));
    auto *digital = window->findChild<TeskDigitalClock *>(QStringLiteral("DigitalClock"));
    QDateTime now = fixedTime();
    analog->setTimeSource([&now] { return now; });
    digital->setTimeSource([&now] { return now; });
    window->show();
    QCoreApplication::processEvents();
    const bool whole = state.range(0) == 0 || state.range(0) == 3;
    const bool ring = state.range(0) >= 2;
    float left = 59.5f;
    for (auto _ : state) {
        now = now.addSecs(1);
        analog->checkTime();
        digital->checkTime();
        if (ring) {
            left = left > 1.0f ? left - 1.0f : 59.5f;
            analog->setCountDownTime(left);
        }
        if (whole) {
            analog->update();
            digital->update();
        }
        QCoreApplication::sendPostedEvents();
    }
    window->hide();
    analog->setCountDownTime(0.0f);
    analog->setTimeSource(fixedTime);
    digital->setTimeSource(fixedTime);
}

// The clocks' 100 ms tick between two second changes: read the time,
// compare, nothing to repaint.
void digitalClockTick(benchmark::State &state)
{
    TeskDigitalClock *clock = mainWindow()->findChild<TeskDigitalClock *>(QStringLiteral("DigitalClock"));
    clock->setTimeSource(TeskDigitalClock::TimeSource());
    for (auto _ : state)
        clock->checkTime();
}

// The pictures of the layout pass at a window size. Smooth scaling of large
// pictures (the fallback) runs on several threads, so this one is timed by
// the wall clock.
void layoutScaling(benchmark::State &state)
{
    const QPixmap background(QStringLiteral(":/resources/png/LumoraBackground.png"));
    const QPixmap filler(QStringLiteral(":/resources/png/SonavoBackgroundEmpty.png"));
    if (background.isNull() || filler.isNull()) {
        state.SkipWithError("artwork missing");
        return;
    }
    const QSize window(int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        ArtworkScale::Scaled s = ArtworkScale::scale(background, filler, window, 1.0);
        benchmark::DoNotOptimize(s.background.cacheKey());
    }
}

// The main window's whole layout pass at a window size, as the first paint
// after a resize runs it: the pictures, 14 geometries, the fonts and the six
// meters, plus drawing the window's own pictures once (its children are not
// painted).
void layoutPass(benchmark::State &state)
{
    MainWindow *window = mainWindow();
    const QSize size(int(state.range(0)), int(state.range(1)));
    QImage image(size, QImage::Format_RGB32);
    const int before = window->layout().passes();
    for (auto _ : state) {
        QResizeEvent resize(size, size);
        QCoreApplication::sendEvent(window, &resize);
        window->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        benchmark::ClobberMemory();
    }
    if (window->layout().passes() - before != int(state.iterations()))
        state.SkipWithError("a paint ran no layout pass");
}

} // namespace

BENCHMARK(releaseTickOfSixMeters);
BENCHMARK(meterPaintDesign)->ArgName("partial")->Arg(0)->Arg(1);
BENCHMARK(meterPaint1080)->ArgName("partial")->Arg(0)->Arg(1);
BENCHMARK(analogClockPaint);
BENCHMARK(digitalClockPaint);
BENCHMARK(digitalClockTick);
BENCHMARK(clockSecond)->ArgName("moved")->Arg(0)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(layoutScaling)->ArgNames({"w", "h"})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(layoutPass)->ArgNames({"w", "h"})->Args({986, 580})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    // Renders into images; no display is needed, and the user's settings
    // store is never touched.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    lumoraInitResources();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    theWindow.reset();
    return 0;
}
