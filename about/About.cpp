#include "About.h"

#include "dds/Board.h"

#include "Version.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"
#include "ui/Ui.h"

#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace kalimor {

using ui::twips;

QString versionLabel() {
    return QStringLiteral("v%1.%2.%3")
        .arg(version::major)
        .arg(version::minor)
        .arg(version::revision);
}

AboutBox::AboutBox(const char* name, const QString& title, int clientWidthTwips,
                   int clientHeightTwips)
    : QDialog(nullptr) {
    ui::setUpDialog(this, name, title);
    setWindowModality(Qt::ApplicationModal);
    setFixedSize(ui::px(clientWidthTwips), ui::px(clientHeightTwips));
}

QPushButton* AboutBox::addOk(int left, int top) {
    OnOK = new QPushButton(QStringLiteral("OK"), this);
    OnOK->setObjectName(QStringLiteral("OnOK"));
    OnOK->setGeometry(twips(left, top, 972, 372));
    OnOK->setDefault(true);
    connect(OnOK, &QPushButton::clicked, this, &QDialog::accept);
    return OnOK;
}

QLabel* AboutBox::addLabel(const char* name, const QString& text, int left, int top, int width,
                           int height) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(twips(left, top, width, height));
    return label;
}

void AboutBox::setBackdrop(const QPixmap& picture) {
    m_backdrop = picture;
}

void AboutBox::paintEvent(QPaintEvent* event) {
    if (!m_backdrop.isNull()) QPainter(this).drawPixmap(0, 0, m_backdrop);
    QDialog::paintEvent(event);
}

void AboutBox::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->geometry();
    const QSize outer = frameGeometry().size();
    move(area.x() + (area.width() - outer.width()) / 2,
         area.y() + (area.height() - outer.height()) / 2);
}

int AboutBox::run() {
    if (OnOK) OnOK->setFocus();
    // The frame is known only once the window exists; place it before it shows.
    winId();
    centreOnScreen();
    return exec();
}

About::About() : AboutBox("About", QStringLiteral("About Kalimor"), 4035, 2610) {
    setBackdrop(ui::picture(QStringLiteral(":/club-logo.svg"), QSize(268, 82)));
    QLabel* title = addLabel("Label1", QStringLiteral("Kalimor Control"), 120, 1320, 2010, 195);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    addLabel("Label2", QStringLiteral("(c) 2026 Kalimor team"), 120, 1680, 1695, 195);
    addLabel("Label4", QStringLiteral("Kalimor project, station N0CALL"), 120, 1920, 2460, 195);
    addLabel("Label3", QStringLiteral("kalimor@example.org"), 120, 2280, 1815, 195);
    addLabel("lblVersion", versionLabel(), 2280, 1320, 615, 255);
    for (const char* name : {"Label1", "Label2", "Label4", "Label3"})
        findChild<QLabel*>(QLatin1String(name))->adjustSize();
    addOk(3000, 1560);
    auto* portIO = new QPushButton(QStringLiteral("About PortIO Driver"), this);
    portIO->setObjectName(QStringLiteral("CmdAboutPortIO"));
    portIO->setGeometry(twips(2100, 2160, 1875, 375)); // wide enough for its caption
    portIO->setAutoDefault(false);
    connect(portIO, &QPushButton::clicked, this, &About::CmdAboutPortIO_Click);
    setTabOrder(OnOK, portIO);
}

void About::CmdAboutPortIO_Click() {
    AboutPortIO driver;
    driver.run();
    accept();
}

AboutCorvane::AboutCorvane()
    : AboutBox("AboutCorvane", QStringLiteral("About Corvane"), 4020, 1815) {
    setBackdrop(ui::picture(QStringLiteral(":/club-logo.svg"), QSize(268, 82)));
    addLabel("lblDescription", QStringLiteral("corvane.example.org"), 480, 1440, 1965, 330);
    addOk(2880, 1320);
}

AboutPortIO::AboutPortIO()
    : AboutBox("AboutPortIO", QStringLiteral("About PortIO Driver"), 5520, 1890) {
    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setGeometry(twips(240, 360, 480, 480));
    image->setPixmap(ui::picture(QStringLiteral(":/driver-icon-32.svg"), QSize(32, 32)));
    QIcon icon;
    icon.addPixmap(ui::picture(QStringLiteral(":/driver-icon-16.svg"), QSize(16, 16)));
    icon.addPixmap(image->pixmap());
    setWindowIcon(icon);
    // The box tells the truth about the port access in use now.
    QStringList lines = dds::board().portDriverLines();
    while (lines.size() < 4) lines << QString();
    addLabel("Label1", lines[0], 840, 360, 1860, 195)->adjustSize();
    addLabel("Label2", lines[1], 840, 720, 4125, 195)->adjustSize();
    addLabel("Label3", lines[2], 840, 1200, 1860, 192)->adjustSize();
    addLabel("Label4", lines[3], 840, 1440, 1548, 192)->adjustSize();
    addOk(4320, 240);
}

} // namespace kalimor
