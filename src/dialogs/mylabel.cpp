#include "mylabel.h"

myLabel::myLabel(const QString &text, QWidget *parent)
    : QLabel(parent, Qt::WindowFlags())
{
    setText(text);
}

void myLabel::mouseReleaseEvent(QMouseEvent *)
{
    emit clicked();
}
