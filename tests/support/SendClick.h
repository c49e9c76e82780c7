#pragma once
// Input as the window system delivers it, and the pauses a person leaves between inputs.

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QProcess>
#include <QThread>
#include <QWidget>

namespace testsupport {

// Lets the event loop run for `ms`.
inline void Settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

// A left click at `local` of `control`, delivered to whatever lies at that point of its
// window, not to the control the caller had in mind.
inline void SendClick(const QWidget* control, QPoint local) {
    QWidget* top = control->window();
    const QPoint pos = control->mapTo(top, local);
    QWidget* target = top->childAt(pos) != nullptr ? top->childAt(pos) : top;
    const QPointF at = target->mapFrom(top, pos);
    const QPointF global = top->mapToGlobal(pos);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}
inline void SendClick(const QWidget* control) {
    SendClick(control, control->rect().center());
}

// The xdotool words that move the real pointer to `local` of `control`.
inline QString MoveTo(const QWidget* control, QPoint local) {
    const QPoint at = control->mapToGlobal(local);
    return QString("mousemove %1 %2").arg(at.x()).arg(at.y());
}
// Makes input through the X server with xdotool, then lets the window take it in.
inline void Xdo(const QString& args, int settleMs = 300) {
    QProcess::execute("sh", {"-c", "xdotool " + args});
    Settle(settleMs);
}

} // namespace testsupport
