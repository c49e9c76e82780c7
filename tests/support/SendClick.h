#pragma once
// A left click delivered the way the window system delivers one: to whatever control
// lies at that point of the window, not to the control the caller had in mind.

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

namespace testsupport {

inline void SendClick(QWidget* top, QPoint pos) {
    QWidget* target = top->childAt(pos);
    if (target == nullptr) {
        target = top;
    }
    const QPointF local = target->mapFrom(top, pos);
    const QPointF global = top->mapToGlobal(pos);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}

} // namespace testsupport
