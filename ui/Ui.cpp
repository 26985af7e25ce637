#include "Ui.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>

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
    setMinimumSize(1, fontMetrics().height());
}

void StatusText::setStatus(const QString& text) {
    setText(text);
    setToolTip(text);
}

void StatusText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(area, alignment(),
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

void setMessageHook(MessageHook hook) {
    messageHook = std::move(hook);
}

void showMessage(QWidget* parent, const QString& title, const QString& text) {
    if (messageHook) return messageHook(parent, title, text);
    // A modal box nobody can see would wait for ever, and the program (its
    // network server among it) with it.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        std::fprintf(stderr, "kalimor: %s: %s\n", qPrintable(title),
                     qPrintable(QString(text)
                                    .replace(QStringLiteral("\n\n"), QStringLiteral(" "))
                                    .replace(QLatin1Char('\n'), QLatin1Char(' '))));
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
