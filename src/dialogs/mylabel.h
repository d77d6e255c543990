#pragma once

#include <QLabel>

// A label that reports a click: the settings icon and the three meter names.
// A name too long for the label is drawn in a smaller font, and if need be
// cut at the end (see LabelFit); text() stays the whole name, and the
// tooltip shows it.
class myLabel : public QLabel
{
    Q_OBJECT

public:
    explicit myLabel(const QString &text, QWidget *parent = nullptr);

    // Also puts the whole name in the tooltip, as plain text whatever it
    // holds (see plainToolTip).
    void setText(const QString &text);

signals:
    void clicked();

protected:
    // Any button's release counts as a click; the event stops here.
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
