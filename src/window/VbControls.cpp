#include "window/VbControls.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QBitmap>
#include <QCursor>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cmath>

namespace window {

void ApplyTwips(QWidget* widget, const TwipRect& rect) {
    const int x = static_cast<int>(std::lround(rect.left / kTwipsPerPixel));
    const int y = static_cast<int>(std::lround(rect.top / kTwipsPerPixel));
    const int right = static_cast<int>(std::lround((rect.left + rect.width) / kTwipsPerPixel));
    const int bottom = static_cast<int>(std::lround((rect.top + rect.height) / kTwipsPerPixel));
    widget->setGeometry(x, y, right - x, bottom - y);
}

QCursor HandCursor() {
    // Drawn once: a hand with the index finger up, its tip at (5, 0).
    static const QCursor cursor = [] {
        QBitmap shape(32, 32);
        QBitmap mask(32, 32);
        shape.fill(Qt::color0);
        mask.fill(Qt::color0);
        const QPolygon hand({{4, 0},
                             {6, 0},
                             {7, 1},
                             {7, 8},
                             {9, 7},
                             {11, 8},
                             {13, 8},
                             {15, 9},
                             {17, 10},
                             {17, 17},
                             {15, 21},
                             {15, 24},
                             {5, 24},
                             {5, 21},
                             {0, 14},
                             {0, 12},
                             {1, 11},
                             {3, 12},
                             {3, 1}});
        QPainter outline(&mask);
        outline.setPen(Qt::color1);
        outline.setBrush(Qt::color1);
        outline.drawPolygon(hand);
        outline.end();
        QPainter lines(&shape);
        lines.setPen(Qt::color1);
        lines.setBrush(Qt::NoBrush);
        lines.drawPolygon(hand);
        lines.drawLine(7, 8, 7, 13);
        lines.drawLine(11, 8, 11, 13);
        lines.drawLine(14, 9, 14, 13);
        lines.end();
        return QCursor(shape, mask, 5, 0);
    }();
    return cursor;
}

namespace {
constexpr char kInputHeld[] = "dittolyInputHeld";
} // namespace

void HoldInput(QWidget* window, bool held) {
    window->setProperty(kInputHeld, held);
}

bool InputHeld(const QWidget* control) {
    return control->window()->property(kInputHeld).toBool();
}

namespace {

// What accessibility clients see of a label: a button, a link or plain text, named by its
// caption (a value with its meaning in front), its tooltip as its description; a command
// also offers the press action, which starts it as a click does.
class VbLabelAccessible : public QAccessibleWidget {
public:
    explicit VbLabelAccessible(VbLabel* label) : QAccessibleWidget(label) {}

    QAccessible::Role role() const override {
        switch (Label()->CommandRole()) {
        case VbLabel::Role::Button:
            return QAccessible::Button;
        case VbLabel::Role::Link:
            return QAccessible::Link;
        default:
            return QAccessible::StaticText;
        }
    }
    QString text(QAccessible::Text kind) const override {
        return kind == QAccessible::Name ? Label()->AccessibleText()
                                         : QAccessibleWidget::text(kind);
    }
    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (IsCommand()) {
            names.prepend(pressAction());
        }
        return names;
    }
    void doAction(const QString& action) override {
        if (action == pressAction() && IsCommand()) {
            if (!InputHeld(Label())) {
                emit Label()->clicked();
            }
            return;
        }
        QAccessibleWidget::doAction(action);
    }

private:
    VbLabel* Label() const { return static_cast<VbLabel*>(widget()); }
    bool IsCommand() const {
        return Label()->CommandRole() != VbLabel::Role::Text && Label()->isEnabled();
    }
};

// The tick box as clients know one (Qt's own interface for it is not public), so that its
// press and toggle can be dropped while the window holds its input.
class VbCheckAccessible : public QAccessibleWidget {
public:
    explicit VbCheckAccessible(VbCheck* box) : QAccessibleWidget(box, QAccessible::CheckBox) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = true;
        state.checked = Box()->checkState() == Qt::Checked;
        state.checkStateMixed = Box()->checkState() == Qt::PartiallyChecked;
        return state;
    }
    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (Box()->isEnabled()) {
            names = QStringList{toggleAction(), pressAction()} + names;
        }
        return names;
    }
    void doAction(const QString& action) override {
        if ((action == pressAction() || action == toggleAction()) && Box()->isEnabled()) {
            if (!InputHeld(Box())) {
                Box()->click();
            }
            return;
        }
        QAccessibleWidget::doAction(action);
    }

private:
    VbCheck* Box() const { return static_cast<VbCheck*>(widget()); }
};

QAccessibleInterface* ControlAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String(VbLabel::staticMetaObject.className())) {
        return new VbLabelAccessible(static_cast<VbLabel*>(object));
    }
    if (className == QLatin1String(VbCheck::staticMetaObject.className())) {
        return new VbCheckAccessible(static_cast<VbCheck*>(object));
    }
    return nullptr;
}

void InstallAccessibleFactory() {
    static const bool factory = [] {
        QAccessible::installFactory(ControlAccessible);
        return true;
    }();
    (void)factory;
}

bool IsStartKey(int key) {
    return key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

VbLabel::VbLabel(QWidget* parent, const QString& name, const QString& caption)
    : QLabel(caption, parent) {
    InstallAccessibleFactory();
    setObjectName(name);
    setTextFormat(Qt::PlainText);
    setMouseTracking(true);
    adjustSize();
}

void VbLabel::SetCaption(const QString& caption) {
    if (caption == text()) {
        return;
    }
    setText(caption);
    adjustSize();
}

void VbLabel::SetHand(bool hand) {
    hand_ = hand;
    if (hand) {
        setCursor(HandCursor());
    } else {
        unsetCursor();
    }
}

void VbLabel::SetCommand(Role role) {
    role_ = role;
    setFocusPolicy(role == Role::Text ? Qt::NoFocus : Qt::TabFocus);
}

QString VbLabel::AccessibleText() const {
    if (!accessibleName().isEmpty()) {
        return accessibleName();
    }
    return meaning_.isEmpty() ? text() : meaning_ + ": " + text();
}

// Enter and Space start a command when they come up, as a click does when the mouse
// button comes up: a key held down starts nothing, and its repeats cannot answer the
// question the command asks. A release whose press this label never saw (the Enter that answered a
// question on another window) starts nothing either.
void VbLabel::keyPressEvent(QKeyEvent* event) {
    if (role_ == Role::Text || !IsStartKey(event->key())) {
        QLabel::keyPressEvent(event);
        return;
    }
    if (!event->isAutoRepeat()) {
        key_ = event->key();
    }
    event->accept();
}

void VbLabel::keyReleaseEvent(QKeyEvent* event) {
    if (role_ == Role::Text || !IsStartKey(event->key())) {
        QLabel::keyReleaseEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat() && event->key() == key_) {
        key_ = 0;
        emit clicked();
    }
}

void VbLabel::focusInEvent(QFocusEvent* event) {
    QLabel::focusInEvent(event);
    UpdateFocusFrame();
}

void VbLabel::focusOutEvent(QFocusEvent* event) {
    key_ = 0;
    QLabel::focusOutEvent(event);
    UpdateFocusFrame();
}

void VbLabel::moveEvent(QMoveEvent* event) {
    QLabel::moveEvent(event);
    if (hasFocus()) {
        parentWidget()->update(); // the frame's old place and its new one
    }
}

void VbLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    if (hasFocus()) {
        parentWidget()->update();
    }
}

namespace {
QRect FocusFrameOf(const QWidget* label) {
    return label->geometry().adjusted(-2, -2, 1, 1);
}
} // namespace

void VbLabel::UpdateFocusFrame() {
    if (parentWidget() != nullptr) {
        parentWidget()->update(FocusFrameOf(this).adjusted(-1, -1, 1, 1));
    }
}

void VbLabel::PaintFocusFrame(QWidget* surface) {
    const auto* label = qobject_cast<const VbLabel*>(QApplication::focusWidget());
    if (label == nullptr || label->parentWidget() != surface) {
        return;
    }
    QPainter painter(surface);
    painter.setPen(QPen(label->palette().color(label->foregroundRole()), 1, Qt::DotLine));
    painter.drawRect(FocusFrameOf(label));
}

void ClickTracker::Press(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

bool ClickTracker::Release(const QWidget* control, QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       control->rect().contains(event->position().toPoint());
    pressed_ = false;
    event->accept();
    return click;
}

void VbLabel::mousePressEvent(QMouseEvent* event) {
    click_.Press(event);
}

void VbLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (click_.Release(this, event)) {
        emit clicked();
    }
}

void VbLabel::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    emit mouseMoved();
}

VbPanel::VbPanel(QWidget* parent, const QString& name) : QWidget(parent) {
    setObjectName(name);
    setAutoFillBackground(true);
}

void VbPanel::SetBackground(const QColor& colour) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, colour);
    setPalette(pal);
}

void VbPanel::mousePressEvent(QMouseEvent* event) {
    click_.Press(event);
}

void VbPanel::mouseReleaseEvent(QMouseEvent* event) {
    if (click_.Release(this, event)) {
        emit clicked();
    }
}

void VbPanel::paintEvent(QPaintEvent*) {
    VbLabel::PaintFocusFrame(this);
}

// Rows of one size, as wide as the widest line so far (of a list that shows whole lines).
// Rows of one size keep an added line cheap: a list that measures every row at every layout
// slows down with the square of its lines, and a run adds one line per app. The shared
// width follows the lines as they come.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setWidth(std::max(size.width(), widest));
        return size;
    }
    void Measure(const QStyleOptionViewItem& option, const QModelIndex& index) {
        widest = std::max(widest, QStyledItemDelegate::sizeHint(option, index).width());
    }
    int widest = 0;

protected:
    // A row in a colour of its own keeps it when selected, as the selection's background
    // under white text: the selection's usual colour would hide what the row's tells.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QVariant colour = index.data(Qt::ForegroundRole);
        if (colour.canConvert<QBrush>()) {
            for (const auto group : {QPalette::Active, QPalette::Inactive}) {
                option->palette.setBrush(group, QPalette::Highlight, colour.value<QBrush>());
                option->palette.setColor(group, QPalette::HighlightedText, Qt::white);
            }
        }
    }
};

VbList::VbList(QWidget* parent, const QString& name, bool withTicks)
    : QListWidget(parent), withTicks_(withTicks), rows_(new RowDelegate(this)) {
    setObjectName(name);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setItemDelegate(rows_);
    viewport()->setMouseTracking(true);
}

QString VbList::List(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry != nullptr ? entry->text() : QString();
}

std::string VbList::Bytes(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry != nullptr ? entry->data(Qt::UserRole).toByteArray().toStdString() : std::string();
}

bool VbList::Selected(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry != nullptr && entry->checkState() == Qt::Checked;
}

void VbList::SetSelected(int index, bool ticked) {
    QListWidgetItem* entry = item(index);
    if (entry == nullptr) {
        return;
    }
    const Qt::CheckState state = ticked ? Qt::Checked : Qt::Unchecked;
    if (entry->checkState() != state) {
        entry->setCheckState(state);
    }
}

int VbList::SelCount() const {
    int ticked = 0;
    const int n = count();
    for (int i = 0; i < n; ++i) {
        ticked += item(i)->checkState() == Qt::Checked ? 1 : 0;
    }
    return ticked;
}

void VbList::SetListIndex(int index) {
    if (index < -1 || index >= count()) {
        return;
    }
    setCurrentRow(index);
    if (index >= 0) {
        scrollToItem(item(index));
    }
}

QString VbList::Text() const {
    const QListWidgetItem* entry = currentItem();
    return entry != nullptr ? entry->text() : QString();
}

void VbList::AddItem(const std::string& bytes) {
    auto* entry =
        new QListWidgetItem(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
    entry->setData(Qt::UserRole, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (withTicks_) {
        entry->setFlags(entry->flags() | Qt::ItemIsUserCheckable);
        entry->setCheckState(Qt::Unchecked);
    }
    addItem(entry);
    if (wholeLines_) {
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        rows_->Measure(option, indexFromItem(entry));
    }
}

void VbList::Clear() {
    clear();
    rows_->widest = 0;
}

void VbList::ShowWholeLines() {
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    wholeLines_ = true;
}

void VbList::SetColour(int index, const QColor& colour) {
    if (QListWidgetItem* entry = item(index)) {
        entry->setForeground(colour);
    }
}

void VbList::SetNote(int index, const std::string& note) {
    if (QListWidgetItem* entry = item(index)) {
        entry->setData(Qt::AccessibleDescriptionRole, QString::fromStdString(note));
    }
}

QString VbList::Note(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry != nullptr ? entry->data(Qt::AccessibleDescriptionRole).toString() : QString();
}

bool VbList::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        emit mouseMoved();
    }
    return QListWidget::viewportEvent(event);
}

void VbList::focusInEvent(QFocusEvent* event) {
    if (currentRow() >= 0) {
        QListWidget::focusInEvent(event);
        return;
    }
    // The item view's own handler would make the first entry current here; only its
    // focus painting is wanted.
    QAbstractScrollArea::focusInEvent(event);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->update();
}

void VbList::focusOutEvent(QFocusEvent* event) {
    QListWidget::focusOutEvent(event);
    viewport()->update();
}

void VbList::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QListWidget::currentChanged(current, previous);
    if (current.isValid() != previous.isValid()) {
        viewport()->update(); // the frame round the surface comes or goes
    }
}

void VbList::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentRow() >= 0) {
        event->accept();
        emit noteAsked();
        return;
    }
    QListWidget::keyPressEvent(event);
}

// The frame shows when the keyboard brought the focus here, as the style's own frame round
// the current entry does; it keeps inside the surface, where no neighbour paints over it.
void VbList::paintEvent(QPaintEvent* event) {
    QListWidget::paintEvent(event);
    if (hasFocus() && currentRow() < 0 && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        QPainter painter(viewport());
        painter.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
        painter.drawRect(viewport()->rect().adjusted(0, 0, -1, -1));
    }
}

VbCheck::VbCheck(QWidget* parent, const QString& name) : QCheckBox(parent) {
    InstallAccessibleFactory();
    setObjectName(name);
    setAttribute(Qt::WA_Hover);
}

bool VbCheck::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

void VbCheck::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int side = std::min(width(), height());
    const QRect square(0, (height() - side) / 2, side, side);
    painter.fillRect(square, Qt::white);
    const bool active = isDown() || underMouse() || hasFocus();
    const QColor edge = !isEnabled() ? QColor(204, 204, 204)
                        : active     ? QColor(0, 120, 215)
                                     : QColor(51, 51, 51);
    painter.setPen(edge);
    painter.drawRect(square.adjusted(0, 0, -1, -1));
    if (checkState() == Qt::PartiallyChecked) {
        painter.fillRect(square.adjusted(3, 3, -3, -3), edge);
    } else if (checkState() == Qt::Checked) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(isEnabled() ? Qt::black : edge, side / 8.0));
        const QPointF origin = square.topLeft();
        const QPointF tick[] = {origin + QPointF(side * 0.22, side * 0.52),
                                origin + QPointF(side * 0.42, side * 0.72),
                                origin + QPointF(side * 0.78, side * 0.30)};
        painter.drawPolyline(tick, 3);
    }
}

} // namespace window
