#include "mylabel.h"

#include "labelfit.h"
#include "plaintooltip.h"

#include <QPainter>
#include <QStyle>

myLabel::myLabel(const QString &text, QWidget *parent)
    : QLabel(parent, Qt::WindowFlags())
{
    setText(text);
}

void myLabel::setText(const QString &text)
{
    QLabel::setText(text);
    setToolTip(plainToolTip(text));
}

void myLabel::mouseReleaseEvent(QMouseEvent *)
{
    emit clicked();
}

void myLabel::paintEvent(QPaintEvent *event)
{
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const LabelFit fit = LabelFit::compute(text(), font(), area.width());
    // A name that fits, and anything but plain text, is drawn as any label.
    if (!fit.shrunk || textFormat() != Qt::PlainText) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setFont(fit.font);
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), fit.shown, foregroundRole());
}
