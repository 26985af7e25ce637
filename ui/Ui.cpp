#include "Ui.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMessageBox>
#include <QStatusBar>

#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>
#include <cstdio>

namespace kalimor::ui {

namespace {
MessageHook messageHook;
EndHook endHook;

void paintBackground(QLabel* label, const QColor& colour) {
    // Setting a palette resolves it against the parents' on every call: a
    // network client's sets paid for that thousands of times a second.
    if (label->autoFillBackground() && label->palette().color(QPalette::Window) == colour) return;
    QPalette p = label->palette();
    p.setColor(QPalette::Window, colour);
    label->setPalette(p);
    label->setAutoFillBackground(true);
}
} // namespace

void useLayoutFont(QWidget* window) {
    QFont font = window->font();
    font.setPointSizeF(8);
    window->setFont(font);
}

void setUpDialog(QWidget* dialog, const char* name, const QString& title) {
    dialog->setObjectName(QLatin1String(name));
    dialog->setWindowTitle(title);
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
    useLayoutFont(dialog);
}

QWidget* setUpMainWindow(QMainWindow* window, const char* name, const QString& title,
                         int widthTwips, int heightTwips) {
    window->setObjectName(QLatin1String(name));
    window->setWindowTitle(title);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    useLayoutFont(window);
    auto* client = new QWidget(window);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(px(widthTwips), px(heightTwips));
    window->setCentralWidget(client);
    auto* logo = place(new QLabel(client), "picLogo", QRect(0, 0, 105, 32));
    logo->setPixmap(picture(QStringLiteral(":/logo-small.svg"), QSize(105, 32)));
    return client;
}

void bringForward(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

void setUpToolWindow(QMainWindow* window, const char* name, const QString& title) {
    window->setObjectName(QLatin1String(name));
    window->setWindowTitle(title);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowFlag(Qt::Window);
    useLayoutFont(window);
}

void refitStatusBar(QWidget* inside) {
    // A status bar measures its widgets only as they are added: add ours
    // again, then let a fixed-size window take the new height.
    QWidget* item = inside;
    while (item->parentWidget() && !qobject_cast<QStatusBar*>(item->parentWidget()))
        item = item->parentWidget();
    if (auto* bar = qobject_cast<QStatusBar*>(item->parentWidget())) {
        for (QWidget* w = inside; w != item; w = w->parentWidget())
            if (w->parentWidget()->layout()) w->parentWidget()->layout()->activate();
        bar->removeWidget(item);
        bar->addWidget(item, 1);
        item->show();
    }
    QWidget* window = inside->window();
    if (window->minimumSize() == window->maximumSize() && window->layout()) {
        window->layout()->activate();
        window->setFixedSize(window->sizeHint());
    }
}

ScrollBar::ScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {
    setFocusPolicy(Qt::StrongFocus);
}

void ScrollBar::keyPressEvent(QKeyEvent* event) {
    // The toolkit's scroll bars invert their controls (for the wheel), which
    // would make Right move left; keys act as the arrow and page clicks do.
    static const std::pair<int, SliderAction> keys[] = {
        {Qt::Key_Left, SliderSingleStepSub},  {Qt::Key_Up, SliderSingleStepSub},
        {Qt::Key_Right, SliderSingleStepAdd}, {Qt::Key_Down, SliderSingleStepAdd},
        {Qt::Key_PageUp, SliderPageStepSub},  {Qt::Key_PageDown, SliderPageStepAdd},
        {Qt::Key_Home, SliderToMinimum},      {Qt::Key_End, SliderToMaximum}};
    for (const auto& [key, action] : keys)
        if (event->key() == key && event->modifiers() == Qt::NoModifier) {
            triggerAction(action);
            return event->accept();
        }
    QScrollBar::keyPressEvent(event);
}

void ScrollBar::paintEvent(QPaintEvent* event) {
    QScrollBar::paintEvent(event);
    if (!hasFocus()) return;
    // The style draws no focus mark on scroll bars; without one the user
    // cannot see which bar the arrow keys move.
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Highlight));
    pen.setWidth(2);
    painter.setPen(pen);
    painter.drawRect(rect().adjusted(1, 1, -1, -1));
}

QColor buttonFace() {
    return QApplication::palette().color(QPalette::Button);
}

void showFailure(QLabel* label, const QString& text) {
    paintBackground(label, QColor(255, 0, 0));
    label->setText(text);
}

void showGood(QLabel* label, const QString& text) {
    paintBackground(label, buttonFace());
    label->setText(text);
}

QPixmap picture(const QString& resource, const QSize& size) {
    QSvgRenderer renderer(resource);
    const qreal dpr = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(size * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

StatusText::StatusText(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    // An empty line keeps its height, so the window does not change size.
    setFixedHeight(fontMetrics().height());
}

void StatusText::setStatus(const QString& text) {
    // The room the window's client area gives, less the status bar's margins:
    // this line's own width is whatever the bar hands it, often not yet set.
    auto* main = qobject_cast<QMainWindow*>(window());
    const int room =
        (main && main->centralWidget() ? main->centralWidget()->width() : width()) - 12;
    // Wrapping measures every word: a client tuning thousands of times a
    // second must not pay for it when nothing changed.
    if (text == m_text && room == m_room) return;
    m_text = text;
    m_room = room;
    setToolTip(text);
    // Word by word, and a word too long for a line (a path) character by
    // character: every part of a cause must be readable, none cut off. Most
    // texts fit one line, which one measurement tells.
    const QFontMetrics fm = fontMetrics();
    QStringList lines;
    QString line;
    const bool oneLine = fm.horizontalAdvance(text) <= room;
    if (oneLine) line = text;
    for (const QString& word : oneLine ? QStringList() : text.split(QLatin1Char(' '))) {
        const QString joined = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (fm.horizontalAdvance(joined) <= room) {
            line = joined;
            continue;
        }
        if (!line.isEmpty()) lines << line;
        line.clear();
        for (const QChar c : word) {
            if (!line.isEmpty() && fm.horizontalAdvance(line + c) > room) {
                lines << line;
                line.clear();
            }
            line += c;
        }
    }
    lines << line;
    // A window as tall as the screen helps nobody: past MaxLines the text
    // ends in an ellipsis, and the tooltip holds all of it.
    if (lines.size() > MaxLines) {
        lines.resize(MaxLines);
        lines.back() = fm.elidedText(lines.back() + QStringLiteral(" \u2026"), Qt::ElideRight,
                                     std::max(room, 1));
        if (!lines.back().endsWith(QChar(0x2026))) lines.back() += QChar(0x2026);
    }
    setText(lines.join(QLatin1Char('\n')));
    const int height = fm.height() * int(lines.size());
    if (height == this->height()) return;
    setFixedHeight(height);
    refitStatusBar(this);
}

void setMessageHook(MessageHook hook) {
    messageHook = std::move(hook);
}

bool headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void reportHeadless(const QString& what, const QString& why) {
    static QHash<QString, QString> told;
    if (!headless() || told.value(what) == why) return;
    told[what] = why;
    if (!why.isEmpty())
        std::fprintf(stderr, "kalimor: %s: %s\n", qPrintable(what), qPrintable(why));
}

void showMessage(QWidget* parent, const QString& title, const QString& text) {
    if (messageHook) return messageHook(parent, title, text);
    // A modal box nobody can see would wait for ever, and the program (its
    // network server among it) with it.
    if (headless()) {
        const QString flat = QString(text)
                                 .replace(QStringLiteral("\n\n"), QStringLiteral(" "))
                                 .replace(QLatin1Char('\n'), QLatin1Char(' '));
        // The main window's own title says nothing the "kalimor:" prefix does not.
        if (title == QLatin1String("Kalimor"))
            std::fprintf(stderr, "kalimor: %s\n", qPrintable(flat));
        else
            std::fprintf(stderr, "kalimor: %s: %s\n", qPrintable(title), qPrintable(flat));
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void setEndHook(EndHook hook) {
    endHook = std::move(hook);
}

void endProgram() {
    if (endHook) return endHook();
    QCoreApplication::exit(0);
}

} // namespace kalimor::ui
