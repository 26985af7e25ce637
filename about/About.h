#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kalimor {

// The three information boxes of the Help menu. Each opens modally without an
// owner, centred on the screen, with OK taking the first focus; OK, Enter and
// Esc close it.
class AboutBox : public QDialog {
    Q_OBJECT
public:
    // Shows the box modally and returns when it has closed.
    int run();

protected:
    AboutBox(const char* name, const QString& title, int clientWidthTwips, int clientHeightTwips);
    QPushButton* addOk(int left, int top);
    QLabel* addLabel(const char* name, const QString& text, int left, int top, int width,
                     int height);
    void paintEvent(QPaintEvent* event) override;
    void setBackdrop(const QPixmap& picture);

    QPushButton* OnOK = nullptr;

private:
    void centreOnScreen();
    QPixmap m_backdrop;
};

class About : public AboutBox {
    Q_OBJECT
public:
    About();
    void CmdAboutPortIO_Click();
};

class AboutCorvane : public AboutBox {
    Q_OBJECT
public:
    AboutCorvane();
};

class AboutPortIO : public AboutBox {
    Q_OBJECT
public:
    AboutPortIO();
};

// "v1.0.9": major, minor and revision of the program's version.
QString versionLabel();

} // namespace kalimor
