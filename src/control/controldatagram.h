#pragma once

#include <QByteArray>
#include <QList>

#include <vector>

// One datagram to the control port, read into command lines. Pure.
//
// Text: one command per line, several lines to a datagram. OSC 1.0 (a
// datagram that begins with '/' or "#bundle"): /lumora/<command> with its
// arguments as the command's words; bundles are opened at once, their time
// tags ignored.
struct ControlDatagram
{
    static constexpr int kMaxBytes = 1500;
    static constexpr int kMaxBundleDepth = 8;

    enum class Form { Text, Osc };

    // A command line to run, or a reason it cannot run ("ERR " + error is the
    // reply then).
    struct Item
    {
        QByteArray line;
        QByteArray error;
    };

    Form form = Form::Text;
    std::vector<Item> items;
};

ControlDatagram decodeControlDatagram(const QByteArray &datagram);

// The OSC reply: /lumora/reply with the text as its one string argument.
// Empty if the text does not fit a datagram.
QByteArray encodeOscReply(const QByteArray &text);

// The answers to one datagram as one datagram: a bundle of /lumora/reply
// messages for a bundle, else the one message. Answers that would take the
// datagram past kMaxReplyBytes are left out.
QByteArray encodeOscReplies(const QList<QByteArray> &texts, bool bundle);
constexpr int kMaxReplyBytes = 65000;
