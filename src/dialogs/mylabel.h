#pragma once

#include <QLabel>

// A label that reports a click: the settings icon and the three meter names.
class myLabel : public QLabel
{
    Q_OBJECT

public:
    explicit myLabel(const QString &text, QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    // Any button's release counts as a click; the event stops here.
    void mouseReleaseEvent(QMouseEvent *event) override;
};
