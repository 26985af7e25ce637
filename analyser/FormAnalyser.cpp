#include "FormAnalyser.h"

#include "analyser/AnalyserPlot.h"
#include "analyser/AnalyserSession.h"
#include "analyser/CrystalPage.h"
#include "analyser/DetectorPage.h"
#include "analyser/ResponsePage.h"
#include "analyser/SwrPage.h"
#include "dds/Board.h"
#include "ui/Ui.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QTabWidget>

namespace kalimor {

FormAnalyser::FormAnalyser(QWidget* owner)
    : QMainWindow(owner), m_session(std::make_unique<AnalyserSession>(this)) {
    ui::setUpToolWindow(this, "FormAnalyser", QStringLiteral("Network Analyser"));
    plotView = new AnalyserPlot(this);
    // A level is read where the sweep starts, averaged as its points are.
    m_detector = new DetectorPage(
        m_session.get(),
        [this] {
            const auto s = m_response->setup();
            return std::pair{s.frequencies.front(), s.samples};
        },
        this);
    m_response = new ResponsePage(m_session.get(), m_detector, plotView, this);
    m_crystals = new CrystalPage(m_session.get(), m_response, m_detector, this);
    auto* tabs = ui::named(new QTabWidget(this), "tabs");
    tabs->addTab(m_response, QStringLiteral("&Response"));
    tabs->addTab(m_detector, QStringLiteral("&Detector"));
    tabs->addTab(m_crystals, QStringLiteral("&Crystals"));
    auto* client = new QWidget(this);
    auto* columns = new QHBoxLayout(client);
    columns->addWidget(tabs);
    columns->addWidget(plotView, 1);
    // The SWR tab lends the board and the detector from here, and shows its own plot.
    AnalyserSession* session = m_session.get();
    auto* swr = new SwrPage(
        {[session] { return !session->runner().running() && session->takeBoard(); },
         [session] { session->giveBoardBack(); }, [this] { return m_detector->detector(); }},
        this);
    tabs->addTab(swr, QStringLiteral("S&WR"));
    columns->addWidget(swr->plot(), 1);
    swr->plot()->hide();
    connect(swr, &SwrPage::busy, tabs, [tabs, swr](bool running) {
        for (int i = 0; i < tabs->count(); ++i)
            if (tabs->widget(i) != swr) tabs->setTabEnabled(i, !running);
    });
    connect(tabs, &QTabWidget::currentChanged, this, [this, tabs, swr] {
        plotView->setVisible(tabs->currentWidget() != swr);
        swr->plot()->setVisible(tabs->currentWidget() == swr);
    });
    setCentralWidget(client);
    resize(sizeHint());
}

FormAnalyser::~FormAnalyser() {
    // No finished signal may reach a half-destroyed window.
    m_session->runner().disconnect();
    m_session->disconnect();
    m_session->runner().stop();
    m_session->giveBoardBack();
}

void FormAnalyser::closeEvent(QCloseEvent* event) {
    if (m_session->runner().running()) m_response->cmdStop_Click();
    QMainWindow::closeEvent(event);
}

void FormAnalyser::showEvent(QShowEvent* event) {
    // A real port's detector is the bridge's A0: there is no device to choose.
    m_response->showDeviceChoice(dds::board().simulated());
    QMainWindow::showEvent(event);
}

void FormAnalyser::cmdRun_Click() {
    m_response->cmdRun_Click();
}

void FormAnalyser::cmdStop_Click() {
    m_response->cmdStop_Click();
}

analyser::SweepRunner& FormAnalyser::runner() {
    return m_session->runner();
}

const analyser::Trace& FormAnalyser::shown() const {
    return m_response->shown();
}

QString FormAnalyser::markerText() const {
    return plotView->markerText();
}

} // namespace kalimor
