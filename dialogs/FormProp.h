#pragma once

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace kalimor {

// The Properties dialog: reference clock in MHz, port address in hexadecimal
// and the change-while-scrolling option. OK checks both numbers, stores all
// three and only then puts them into the global state; nothing is re-sent.
class FormProp : public QDialog {
    Q_OBJECT
public:
    explicit FormProp(QWidget* owner);

    void cmdOK_Click();
    void cmdCancel_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Form_Load();

    QLineEdit* txtRefClkMHz;
    QLineEdit* txtPortAddr;
    QCheckBox* ChkCWS;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    std::int16_t m_loadedCWS = 0;
};

} // namespace kalimor
