#include "controldatagram.h"

#include <oscpack/osc/OscException.h>
#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <QList>
#include <QtEndian>

#include <cstring>
#include <vector>

#include "controlcommand.h"

namespace {

const char kOscPrefix[] = "/lumora/";

ControlDatagram::Item failed(const QByteArray &error) { return {QByteArray(), error}; }

void decodeText(const QByteArray &d, ControlDatagram &out)
{
    const QList<QByteArray> lines = d.split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        if (line.size() > ControlCommand::kMaxLineBytes)
            out.items.push_back(failed("line longer than 256 bytes"));
        else
            out.items.push_back({line, QByteArray()});
    }
    if (out.items.empty())
        out.items.push_back(failed("empty command"));
}

QByteArray argumentWord(const osc::ReceivedMessageArgument &a, bool &ok)
{
    ok = true;
    switch (a.TypeTag()) {
    case osc::STRING_TYPE_TAG:
        return QByteArray(a.AsStringUnchecked());
    case osc::SYMBOL_TYPE_TAG:
        return QByteArray(a.AsSymbolUnchecked());
    case osc::INT32_TYPE_TAG:
        return QByteArray::number(a.AsInt32Unchecked());
    case osc::INT64_TYPE_TAG:
        return QByteArray::number(qlonglong(a.AsInt64Unchecked()));
    case osc::FLOAT_TYPE_TAG:
        // Seven significant digits: 45.0f reads "45", 0.1f reads "0.1".
        return QByteArray::number(double(a.AsFloatUnchecked()), 'g', 7);
    case osc::DOUBLE_TYPE_TAG:
        return QByteArray::number(a.AsDoubleUnchecked(), 'g', 15);
    default:
        ok = false;
        return QByteArray(1, a.TypeTag());
    }
}

void decodeMessage(const osc::ReceivedMessage &m, ControlDatagram &out)
{
    const QByteArray address(m.AddressPattern());
    if (!address.startsWith(kOscPrefix) || address.size() == int(sizeof kOscPrefix) - 1
        || address.indexOf('/', int(sizeof kOscPrefix) - 1) >= 0) {
        out.items.push_back(failed("osc: address " + address.left(64) + " is not /lumora/<command>"));
        return;
    }
    QByteArray line = address.mid(int(sizeof kOscPrefix) - 1);
    for (auto it = m.ArgumentsBegin(); it != m.ArgumentsEnd(); ++it) {
        bool ok = false;
        const QByteArray word = argumentWord(*it, ok);
        if (!ok) {
            out.items.push_back(failed("osc: an argument of type '" + word + "' is not taken; send strings, ints or floats"));
            return;
        }
        line += ' ' + word;
        if (line.size() > ControlCommand::kMaxLineBytes) {
            out.items.push_back(failed("line longer than 256 bytes"));
            return;
        }
    }
    out.items.push_back({line, QByteArray()});
}

// What the OSC library takes on trust, checked before it sees a byte: each
// bundle element's size is above 0, a multiple of 4 and no more than the
// bytes left, and bundles nest at most kMaxBundleDepth deep. (The library
// loops for ever on a size of -4, and walks past the end on others.) Empty
// when the structure holds; messages are left to the library.
QByteArray structureProblem(const char *p, int size, int depth)
{
    if (size == 0 || p[0] != '#')
        return QByteArray();
    if (depth >= ControlDatagram::kMaxBundleDepth)
        return "osc: bundles nested too deep";
    if (size < 16 || std::memcmp(p, "#bundle", 8) != 0)
        return "osc: malformed packet (a bundle begins with #bundle and a time tag)";
    // Sizes are multiples of 4, so a size field is always whole here.
    for (int at = 16; at < size;) {
        const qint32 n = qFromBigEndian<qint32>(p + at);
        at += 4;
        if (n <= 0 || n % 4 != 0 || n > size - at)
            return "osc: malformed packet (a bundle element's size must be above 0, a multiple of 4 and within "
                   "the bundle, got " + QByteArray::number(n) + ")";
        const QByteArray inner = structureProblem(p + at, n, depth + 1);
        if (!inner.isEmpty())
            return inner;
        at += n;
    }
    return QByteArray();
}

void decodeElement(const osc::ReceivedPacket &p, int depth, ControlDatagram &out)
{
    if (p.IsBundle()) {
        if (depth >= ControlDatagram::kMaxBundleDepth) {
            out.items.push_back(failed("osc: bundles nested too deep"));
            return;
        }
        const osc::ReceivedBundle bundle(p);
        for (auto it = bundle.ElementsBegin(); it != bundle.ElementsEnd(); ++it) {
            // An element is a packet of its own, checked as such.
            const osc::ReceivedPacket element(it->Contents(), it->Size());
            decodeElement(element, depth + 1, out);
        }
    } else {
        decodeMessage(osc::ReceivedMessage(p), out);
    }
}

} // namespace

ControlDatagram decodeControlDatagram(const QByteArray &d)
{
    ControlDatagram out;
    const bool osc = d.startsWith('/') || d.startsWith("#bundle");
    out.form = osc ? ControlDatagram::Form::Osc : ControlDatagram::Form::Text;
    if (d.size() > ControlDatagram::kMaxBytes) {
        out.items.push_back(failed("datagram longer than 1500 bytes"));
        return out;
    }
    if (!osc) {
        decodeText(d, out);
        return out;
    }
    // OSC sizes are multiples of four; the library checks everything else
    // and throws on what does not hold together.
    if (d.size() % 4 != 0) {
        out.items.push_back(failed("osc: a packet's size is a multiple of 4 bytes"));
        return out;
    }
    const QByteArray problem = structureProblem(d.constData(), d.size(), 0);
    if (!problem.isEmpty()) {
        out.items.push_back(failed(problem));
        return out;
    }
    try {
        const osc::ReceivedPacket packet(d.constData(), osc::osc_bundle_element_size_t(d.size()));
        decodeElement(packet, 0, out);
    } catch (const osc::Exception &e) {
        out.items.push_back(failed(QByteArray("osc: malformed packet (") + e.what() + ")"));
    }
    // A bundle with nothing in it is still answered.
    if (out.items.empty())
        out.items.push_back(failed("osc: the bundle holds no message"));
    return out;
}

QByteArray encodeOscReply(const QByteArray &text)
{
    char buffer[ControlDatagram::kMaxBytes * 2];
    try {
        osc::OutboundPacketStream stream(buffer, sizeof buffer);
        stream << osc::BeginMessage("/lumora/reply") << text.constData() << osc::EndMessage;
        return QByteArray(stream.Data(), int(stream.Size()));
    } catch (const osc::Exception &) {
        return QByteArray();
    }
}

QByteArray encodeOscReplies(const QList<QByteArray> &texts, bool bundle)
{
    if (!bundle)
        return texts.isEmpty() ? QByteArray() : encodeOscReply(texts.first());
    // A message is its address (16 bytes padded), its type tags (4) and the
    // string, NUL-ended and padded to 4; in a bundle, after its size.
    const auto messageBytes = [](const QByteArray &t) { return 20 + (t.size() + 4) / 4 * 4; };
    int total = 16;
    int fitting = 0;
    for (; fitting < texts.size(); ++fitting) {
        const int more = 4 + messageBytes(texts[fitting]);
        if (total + more > kMaxReplyBytes)
            break;
        total += more;
    }
    std::vector<char> buffer(size_t(total) + 64);
    try {
        osc::OutboundPacketStream stream(buffer.data(), buffer.size());
        stream << osc::BeginBundleImmediate;
        for (int i = 0; i < fitting; ++i)
            stream << osc::BeginMessage("/lumora/reply") << texts[i].constData() << osc::EndMessage;
        stream << osc::EndBundle;
        return QByteArray(stream.Data(), int(stream.Size()));
    } catch (const osc::Exception &) {
        return QByteArray();
    }
}
