#pragma once

#include "analyser/Crystal.h"

#include <QWidget>

#include <optional>

class QComboBox;
class QDoubleSpinBox;
class QSpinBox;
class QTableView;

namespace kalimor {

class AnalyserSession;
class DetectorPage;
class ResponsePage;

namespace analyser {
class CrystalTable;
}

// The network analyser's Crystals tab: each press of Next crystal measures
// the one in the fixture and adds a row; rows sort by any column, and
// crystals whose series resonances agree within the tolerance share a group
// (for a ladder filter).
class CrystalPage : public QWidget {
    Q_OBJECT
public:
    CrystalPage(AnalyserSession* session, ResponsePage* response, DetectorPage* detector,
                QWidget* parent = nullptr);

    // Measures the crystal in the fixture and adds it to the table.
    std::optional<analyser::Motional> cmdNextCrystal_Click();
    bool exportCrystals(const QString& path);
    const analyser::CrystalTable& table() const { return *m_table; }

private:
    AnalyserSession* m_session;
    ResponsePage* m_response;
    DetectorPage* m_detector;
    analyser::CrystalTable* m_table;
    QComboBox* cboR0;
    QDoubleSpinBox* spnNear;
    QSpinBox* spnTolerance;
    QTableView* tblCrystals;
};

} // namespace kalimor
