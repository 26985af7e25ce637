#include "CrystalPage.h"

#include "analyser/AnalyserSession.h"
#include "analyser/CrystalTable.h"
#include "analyser/DetectorPage.h"
#include "analyser/ResponsePage.h"
#include "core/Error.h"
#include "settings/SafeFile.h"
#include "ui/Ui.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

namespace kalimor {

CrystalPage::CrystalPage(AnalyserSession* session, ResponsePage* response, DetectorPage* detector,
                         QWidget* parent)
    : QWidget(parent), m_session(session), m_response(response), m_detector(detector),
      m_table(new analyser::CrystalTable(this)) {
    using ui::named;
    cboR0 = named(new QComboBox(this), "cboR0");
    cboR0->addItem(QStringLiteral("12.5 ohm"), 12.5);
    cboR0->addItem(QStringLiteral("50 ohm"), 50.0);
    spnNear = named(new QDoubleSpinBox(this), "spnNear");
    spnNear->setRange(0.01, 60);
    spnNear->setDecimals(6);
    spnNear->setValue(10);
    spnNear->setSuffix(QStringLiteral(" MHz"));
    spnTolerance = named(new QSpinBox(this), "spnTolerance");
    spnTolerance->setRange(1, 100000);
    spnTolerance->setValue(50);
    spnTolerance->setSuffix(QStringLiteral(" Hz"));
    auto* cmdNext = named(new QPushButton(QStringLiteral("&Next crystal"), this), "cmdNextCrystal");
    auto* cmdExportCrystals =
        named(new QPushButton(QStringLiteral("Export CSV..."), this), "cmdExportCrystals");
    // Sorted by the view, in the numbers the cells show; the table keeps the
    // order measured, which numbers the crystals.
    auto* sorted = new QSortFilterProxyModel(this);
    sorted->setSourceModel(m_table);
    tblCrystals = named(new QTableView(this), "tblCrystals");
    tblCrystals->setModel(sorted);
    tblCrystals->setSortingEnabled(true);
    tblCrystals->sortByColumn(-1, Qt::AscendingOrder);
    tblCrystals->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblCrystals->setMinimumWidth(420);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Fixture R0"), cboR0);
    form->addRow(QStringLiteral("Near"), spnNear);
    form->addRow(QStringLiteral("Group within"), spnTolerance);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdNext);
    buttons->addWidget(cmdExportCrystals);
    auto* column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addLayout(buttons);
    column->addWidget(tblCrystals, 1);
    m_table->setTolerance(spnTolerance->value());
    connect(cmdNext, &QPushButton::clicked, this, &CrystalPage::cmdNextCrystal_Click);
    connect(spnTolerance, &QSpinBox::valueChanged, m_table, &analyser::CrystalTable::setTolerance);
    connect(cmdExportCrystals, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export crystals"),
                                                          QString(), QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) exportCrystals(path);
    });
}

std::optional<analyser::Motional> CrystalPage::cmdNextCrystal_Click() {
    if (!m_response->prepareRun()) return std::nullopt;
    // Levels against the through where it covers the sweep, else the source.
    const analyser::SweepFn sweep = [this](const std::vector<double>& frequencies) {
        const analyser::SweepRunner::Setup fields = m_response->setup();
        analyser::SweepRunner::Setup s;
        s.frequencies = frequencies;
        s.settleMs = fields.settleMs;
        s.samples = fields.samples;
        analyser::Trace t = m_session->runner().run(s);
        QString unused;
        if (const auto n = analyser::normalise(t, m_response->through(), &unused)) return *n;
        for (auto& p : t) p.level -= m_detector->sourceDbm();
        return t;
    };
    const double near = spnNear->value() * 1e6;
    QString why;
    std::optional<analyser::Motional> m;
    try {
        m = analyser::measureCrystal(sweep, near * 0.995, near * 1.005,
                                     cboR0->currentData().toDouble(), &why);
    } catch (const Error& e) {
        why = e.description();
    }
    m_session->giveBoardBack();
    if (!m) {
        ui::showMessage(this, QStringLiteral("Network Analyser"),
                        QStringLiteral("No crystal measured: ") + why);
        return std::nullopt;
    }
    m_table->add(*m);
    m_response->setStatus(QStringLiteral("Crystal %1: fs %2 MHz, Rm %3 ohm, Q %4")
                              .arg(m_table->rowCount())
                              .arg(m->fs / 1e6, 0, 'f', 6)
                              .arg(m->rm, 0, 'f', 1)
                              .arg(m->q, 0, 'f', 0));
    return m;
}

bool CrystalPage::exportCrystals(const QString& path) {
    // Whole or not at all, as the settings are saved.
    if (const auto failure = replaceFile(path, m_table->toCsv().toUtf8())) {
        ui::showMessage(this, QStringLiteral("Network Analyser"), *failure);
        return false;
    }
    return true;
}

} // namespace kalimor
