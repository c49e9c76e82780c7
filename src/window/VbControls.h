#pragma once
// The few control kinds the main window is made of: labels that act as commands and
// size themselves to their caption, panels that report clicks on their own surface, and
// list boxes with one tick box per row.

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QString>
#include <QWidget>
#include <string>

namespace window {

class RowDelegate;

// 15 twips are one device-independent pixel; Qt scales pixels for high-DPI screens.
inline constexpr double kTwipsPerPixel = 15.0;

// Position and size in twips, single precision as the layout computes them.
struct TwipRect {
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;
};

// Places `widget` at the pixel rectangle nearest to `rect`: the edges are rounded, so
// neighbouring controls never open a gap between them.
void ApplyTwips(QWidget* widget, const TwipRect& rect);

// The pointing-hand pointer of the link labels: 32 x 32, two colours, hot spot at the
// tip of the index finger.
QCursor HandCursor();

// While `window` holds its input back (a run is going on), the actions accessibility
// clients take on its controls (a press, a toggle) are dropped, as its clicks and keys are.
void HoldInput(QWidget* window, bool held);
bool InputHeld(const QWidget* control);

// A left press and release inside the same control make one click.
class ClickTracker {
public:
    void Press(QMouseEvent* event);
    // True when this release completes a click on `control`.
    bool Release(const QWidget* control, QMouseEvent* event);

private:
    bool pressed_ = false;
};

class VbLabel : public QLabel {
    Q_OBJECT
public:
    // What a label is to the keyboard and to accessibility clients: plain text, or a
    // command that looks like a button or like a link.
    enum class Role { Text, Button, Link };

    VbLabel(QWidget* parent, const QString& name, const QString& caption);
    // Sets the caption and sizes the label to it, as the labels have always done.
    void SetCaption(const QString& caption);
    QString Caption() const { return text(); }
    void SetHand(bool hand);
    bool HasHand() const { return hand_; }
    // A command takes the focus with Tab (never with a click, so the mouse leaves the look
    // as it was), shows a focus frame, and Enter or Space starts it as a click does.
    void SetCommand(Role role);
    Role CommandRole() const { return role_; }
    // A label that shows a value, such as a count: accessibility clients read it as
    // "meaning: caption".
    void SetMeaning(const QString& meaning) { meaning_ = meaning; }
    QString AccessibleText() const;
    // Draws the focus frame of the focused command among `surface`'s own labels: a thin
    // dotted line in the caption's colour just outside the label, so it never touches the
    // caption and nothing moves. The surfaces call it at the end of their painting.
    static void PaintFocusFrame(QWidget* surface);

signals:
    void clicked();
    void mouseMoved();

protected:
    // Labels always take the click, so a click on a label inside a panel never reaches
    // the panel and never closes it.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateFocusFrame();
    ClickTracker click_;
    bool hand_ = false;
    Role role_ = Role::Text;
    QString meaning_;
    int key_ = 0; // the Enter or Space key pressed on this label and not yet released
};

class VbPanel : public QWidget {
    Q_OBJECT
public:
    VbPanel(QWidget* parent, const QString& name);
    void SetBackground(const QColor& colour);

signals:
    // A click on the panel's own surface, not on one of its controls.
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    ClickTracker click_;
};

// A list box. With tick boxes, an entry's tick is its checked state; the current entry
// is the list's current row (-1 for none). Each entry keeps the exact bytes it was given
// (a package folder name may not be valid UTF-8); only what it shows is converted.
class VbList : public QListWidget {
    Q_OBJECT
public:
    VbList(QWidget* parent, const QString& name, bool withTicks);

    int ListCount() const { return count(); }
    QString List(int index) const;
    // The bytes entry `index` was added with; "" when there is no such entry.
    std::string Bytes(int index) const;
    bool Selected(int index) const;
    void SetSelected(int index, bool ticked);
    int SelCount() const;
    int ListIndex() const { return currentRow(); }
    void SetListIndex(int index);
    // The current entry's text, or "" when no entry is current.
    QString Text() const;
    std::string TextBytes() const { return Bytes(currentRow()); }
    void AddItem(const std::string& bytes);
    void Clear();
    // Draws every line whole, however long, with a horizontal scroll bar that reaches the
    // end of the longest line, as a plain list box does.
    void ShowWholeLines();
    // Entry `index` drawn in `colour`, which stays when it is selected: it becomes the
    // selection's background, under white text.
    void SetColour(int index, const QColor& colour);
    // Why entry `index` says what it says (a failed line's reason): what accessibility
    // clients read as the entry's description. "" when there is no such entry or note.
    void SetNote(int index, const std::string& note);
    QString Note(int index) const;

signals:
    void mouseMoved();
    // Enter or Return on the current entry: its note is asked for.
    void noteAsked();

protected:
    bool viewportEvent(QEvent* event) override;
    // Taking the focus is no choice of an entry: a list without a current entry keeps none,
    // and shows its focus with a dotted frame round its whole surface instead.
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool withTicks_;
    bool wholeLines_ = false;
    RowDelegate* rows_;
};

// A check box without a visible caption, only as wide as its square plus a small margin:
// the whole control takes the click, and the square, white inside, fits its height.
class VbCheck : public QCheckBox {
    Q_OBJECT
public:
    VbCheck(QWidget* parent, const QString& name);

protected:
    bool hitButton(const QPoint& pos) const override;
    void paintEvent(QPaintEvent* event) override;
};

} // namespace window
