#pragma once

#include "analyser/Analysis.h"

#include <QWidget>

#include <functional>

class QComboBox;
class QDoubleSpinBox;

namespace kalimor {

class AnalyserSession;

// The network analyser's Detector tab: the detector's kind and its two
// numbers (kept in the settings, which the fields only show), a two-point
// level calibration, and the source's level.
class DetectorPage : public QWidget {
    Q_OBJECT
public:
    // `where` gives the frequency a level is read at and the samples to
    // average, from the sweep's fields.
    DetectorPage(AnalyserSession* session, std::function<std::pair<double, int>()> where,
                 QWidget* parent = nullptr);

    analyser::Detector detector() const;
    // Saves the detector shown; a store that cannot save says so.
    void saveDetector();
    // Two-point level calibration: what the detector reads with a known
    // level applied (A, then B); Calibrate fits the detector to both.
    void readLevel(int which);
    bool calibrateLevels();
    double sourceDbm() const;
    // For the presets: the kind's index and the two numbers.
    int kindIndex() const;
    void setDetector(int kindIndex, double slope, double intercept);

private:
    void loadDetector();

    AnalyserSession* m_session;
    std::function<std::pair<double, int>()> m_where;
    QComboBox* cboDetector;
    QDoubleSpinBox* spnSlope;
    QDoubleSpinBox* spnIntercept;
    QDoubleSpinBox* spnSource;
    QDoubleSpinBox* spnLevel[2];
    double m_levelMv[2] = {-1, -1};
};

} // namespace kalimor
