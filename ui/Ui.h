#pragma once

#include <QColor>
#include <QLabel>
#include <QRect>
#include <QScrollBar>
#include <QString>

#include <functional>

class QMainWindow;
class QPixmap;
class QSize;
class QWidget;

// Small helpers every window shares: layout units, colours, the logo, and the
// two ways a window talks past itself (message boxes, ending the program),
// each behind a hook so tests can answer them.
namespace kalimor::ui {

// The layouts are drawn in twips; 15 twips make one pixel at 96 dpi.
constexpr int px(int twips) {
    return (twips + 7) / 15;
}
inline QRect twips(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

// Names and places a control; control arrays also carry their index.
template <typename W> W* place(W* widget, const char* name, const QRect& geometry, int index = -1) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    if (index >= 0) widget->setProperty("Index", index);
    return widget;
}

// Names a control, for building a window a control to a line.
template <typename W> W* named(W* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A tool window of the main window's (the analyser, the beacon): a window of
// its own, deleted when closed, in the layout font.
void setUpToolWindow(QMainWindow* window, const char* name, const QString& title);

// The layouts were drawn for an 8-point dialog font; larger fonts clip captions.
void useLayoutFont(QWidget* window);

// A dialog with a title and a close box only, in the layout font.
void setUpDialog(QWidget* dialog, const char* name, const QString& title);

// A fixed-size main window without minimize and maximize buttons: its client
// area of the given size, with the small logo at the top-left. Returns the
// client area, the parent of the window's controls.
QWidget* setUpMainWindow(QMainWindow* window, const char* name, const QString& title,
                         int widthTwips, int heightTwips);

// Red RGB(255, 0, 0) for failures, the system's button face for good results.
void showFailure(QLabel* label, const QString& text);
void showGood(QLabel* label, const QString& text);
QColor buttonFace();

// A status-bar text that never pushes its neighbours sideways: what does not
// fit one line is wrapped onto more, up to MaxLines, and a fixed-size window
// grows by them. The whole text is also the tooltip.
class StatusText : public QLabel {
    Q_OBJECT
public:
    static constexpr int MaxLines = 4;
    explicit StatusText(QWidget* parent = nullptr);
    void setStatus(const QString& text);
    // The whole text, however many lines it took.
    QString status() const { return m_text; }

private:
    QString m_text;
    int m_room = -1;
};

// Shows a window that may be open already and brings it to the front.
void bringForward(QWidget* window);

// Re-measures the status-bar widget that holds `inside` after its height
// changed, and lets a fixed-size window take the new height.
void refitStatusBar(QWidget* inside);

// A scroll bar the keyboard can reach: it takes focus by Tab and by click,
// shows a focus mark, and moves with the arrow keys (arrow clicks), Page
// Up/Down (page clicks) and Home/End (the ends).
class ScrollBar : public QScrollBar {
    Q_OBJECT
public:
    ScrollBar(Qt::Orientation orientation, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// A picture from the resources (SVG), drawn at its design size.
QPixmap picture(const QString& resource, const QSize& size);

// A message box with an OK button only and no icon; without a screen to show
// it on (offscreen or minimal platform), one line on stderr instead.
using MessageHook = std::function<void(QWidget* parent, const QString& title, const QString& text)>;
// Whether the program runs without a screen (offscreen or minimal platform).
bool headless();
// Without a screen, "kalimor: WHAT: WHY" on stderr when WHY is not what was
// last told for WHAT, so a journal names a cause once, not on every load; an
// empty WHY (the trouble is over) prints nothing and lets the next be told.
void reportHeadless(const QString& what, const QString& why);
void setMessageHook(MessageHook hook);
void showMessage(QWidget* parent, const QString& title, const QString& text);

// Ends the program at once: no window's close handling runs, nothing is saved.
using EndHook = std::function<void()>;
void setEndHook(EndHook hook);
void endProgram();

} // namespace kalimor::ui
