// The console's full rate over a real pseudo-terminal for a minute: every
// packet reaches the meters, whatever sizes the reads come in.
#include <QRandomGenerator>
#include <QSerialPort>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "mainwindow.h"
#include "meterlink.h"
#include "releaseclock.h"
#include "reliabilitysupport.h"
#include "testsupport.h"

using namespace Reliability;

namespace {

constexpr int kPacketsPerSecond = 720;
// A minute at full rate; shortened under the sanitizer, where the suite runs
// a second time. LUMORA_THROUGHPUT_SECONDS sets it for longer local runs.
constexpr int kSeconds = kSanitized ? 15 : 60;
constexpr int kLongestChunk = 40;

int runSeconds()
{
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("LUMORA_THROUGHPUT_SECONDS", &ok);
    return ok && fromEnv > 0 && fromEnv <= 3600 ? fromEnv : kSeconds;
}

// The words of packet i: they change with every packet, reach the whole
// scale, and include CR LF (0x0D0A) on purpose. No byte is 0xAA or 0x55, so
// no stretch across two packets can look like a third.
MeterPacket::Words wordsOf(quint32 i)
{
    MeterPacket::Words words;
    for (quint32 c = 0; c < words.size(); ++c) {
        quint32 w = (i * 7919u + c * 10007u) % 65536u;
        if (c == 3 && i % 5 == 0)
            w = 0x0D0A;
        std::uint8_t hi = std::uint8_t(w >> 8), lo = std::uint8_t(w);
        if (hi == 0xAA || hi == 0x55)
            ++hi;
        if (lo == 0xAA || lo == 0x55)
            ++lo;
        words[c] = std::uint16_t(hi << 8 | lo);
    }
    return words;
}

} // namespace

class TestThroughput : public QObject
{
    Q_OBJECT

private slots:
    void fullRateOverPseudoTerminal();
};

void TestThroughput::fullRateOverPseudoTerminal()
{
    Pty pty;
    QVERIFY(pty.open());
    CommSettings comm;
    comm.serialport = pty.slavePath();
    storeLink(comm);

    MainWindow window;
    QVERIFY(window.link().serialPort() && window.link().serialPort()->isOpen());

    const int seconds = runSeconds();
    const quint32 total = quint32(seconds) * kPacketsPerSecond;
    std::vector<std::uint8_t> stream;
    stream.reserve(size_t(total) * MeterPacket::kSize);
    for (quint32 i = 0; i < total; ++i) {
        const MeterPacket::Bytes packet = MeterPacket::encode(wordsOf(i));
        stream.insert(stream.end(), packet.begin(), packet.end());
    }

    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("%u packets in %d s; chunk sizes from seed %u", total, seconds, seed);

    // The console runs in its own thread, so the window's thread does nothing
    // but read. It writes each packet when it is due, in random chunks that
    // ignore packet boundaries.
    std::atomic<bool> stop{false};
    std::atomic<bool> writeFailed{false};
    std::atomic<std::size_t> chunksWritten{0};
    std::thread console([&] {
        QRandomGenerator random(seed);
        const auto start = std::chrono::steady_clock::now();
        const auto limit = start + std::chrono::seconds(seconds + 30);
        std::size_t at = 0;
        std::size_t chunks = 0;
        for (quint32 due = 1; due <= total && !stop.load(); ++due) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(quint64(due) * 1000000u / kPacketsPerSecond));
            const std::size_t dueBytes = std::size_t(due) * MeterPacket::kSize;
            while (at < dueBytes && std::chrono::steady_clock::now() < limit) {
                const std::size_t n = std::min<std::size_t>(random.bounded(1, kLongestChunk + 1), stream.size() - at);
                if (!pty.write(stream.data() + at, n)) {
                    writeFailed = true;
                    return;
                }
                at += n;
                ++chunks;
            }
        }
        chunksWritten = chunks;
    });

    const quint64 before = window.link().packetsDecoded();
    const bool allArrived = pumpUntil([&] { return window.link().packetsDecoded() - before >= total; },
                                      (seconds + 20) * 1000);
    stop = true;
    console.join();
    TestSupport::settle();

    qInfo("decoded %llu of %u packets, written in %zu chunks",
          static_cast<unsigned long long>(window.link().packetsDecoded() - before), total, chunksWritten.load());
    QVERIFY(!writeFailed);
    QVERIFY(allArrived);
    QCOMPARE(window.link().packetsDecoded() - before, quint64(total));
    const MeterPacket::Levels last = levelsOf(wordsOf(total - 1));
    // Counted as the reader thread frames it; the release takes it on its frame.
    for (int c = 0; c < 6; ++c)
        QTRY_COMPARE(window.release().targets()[c], last[c]);
    QCOMPARE(window.link().state(), LinkState::Live);
}

LUMORA_TEST_MAIN(TestThroughput)
#include "tst_throughput.moc"
