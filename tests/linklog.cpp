#include "linklog.h"

#include <QByteArray>

#include <mutex>
#include <vector>

namespace LinkTest {

namespace {

struct Line
{
    QtMsgType type;
    QByteArray category;
    QString text;
};

std::mutex g_mutex;
std::vector<Line> g_lines;
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;

void filter(QLoggingCategory *category)
{
    if (g_previousFilter)
        g_previousFilter(category);
    if (qstrcmp(category->categoryName(), "lumora.link") == 0)
        category->setEnabled(QtDebugMsg, true);
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back({type, QByteArray(context.category ? context.category : ""), text});
}

} // namespace

LinkLog::LinkLog()
{
    clear();
    m_previousHandler = qInstallMessageHandler(&handler);
    g_previousFilter = QLoggingCategory::installFilter(&filter);
}

LinkLog::~LinkLog()
{
    QLoggingCategory::installFilter(g_previousFilter);
    qInstallMessageHandler(m_previousHandler);
}

QStringList LinkLog::texts(QtMsgType type, const char *category) const
{
    QStringList out;
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const Line &line : g_lines)
        if (line.type == type && line.category == category)
            out << line.text;
    return out;
}

QStringList LinkLog::told() const
{
    QStringList out;
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const Line &line : g_lines)
        if (line.type != QtDebugMsg && line.category == "lumora.link")
            out << line.text;
    return out;
}

void LinkLog::clear()
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

} // namespace LinkTest
