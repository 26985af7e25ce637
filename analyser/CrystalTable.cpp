#include "CrystalTable.h"

#include <QLocale>

#include <algorithm>

namespace kalimor::analyser {

namespace {

QString exact(double x) {
    return QString::number(x, 'g', QLocale::FloatingPointShortest);
}

} // namespace

CrystalTable::CrystalTable(QObject* parent) : QAbstractTableModel(parent) {}

int CrystalTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int CrystalTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Columns;
}

QVariant CrystalTable::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
    const Row& r = m_rows[size_t(index.row())];
    const Motional& m = r.m;
    // Shown in the units a bench uses, to the digits a measurement holds.
    auto shown = [](double v, int decimals) {
        return QString::number(v, 'f', decimals).toDouble();
    };
    switch (index.column()) {
    case Number:
        return index.row() + 1;
    case Fs:
        return shown(m.fs / 1e6, 6);
    case Fp:
        return shown(m.fp / 1e6, 6);
    case Il:
        return shown(m.ilDb, 2);
    case Rm:
        return shown(m.rm, 2);
    case Lm:
        return shown(m.lm * 1e3, 4);
    case Cm:
        return shown(m.cm * 1e15, 3);
    case C0:
        return shown(m.c0 * 1e12, 3);
    case Q:
        return shown(m.q, 0);
    case Group:
        return r.group;
    }
    return {};
}

QVariant CrystalTable::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const names[Columns] = {"#",     "fs MHz", "fp MHz", "IL dB", "Rm ohm",
                                               "Lm mH", "Cm fF",  "C0 pF",  "Q",     "Group"};
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= Columns)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromLatin1(names[section]);
}

void CrystalTable::add(const Motional& m) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_rows.push_back({m, 0});
    endInsertRows();
    regroup();
}

void CrystalTable::setTolerance(double hz) {
    m_toleranceHz = hz;
    regroup();
}

void CrystalTable::regroup() {
    // By rising fs: a crystal joins the group of the one before when their
    // series resonances agree within the tolerance.
    std::vector<Row*> byFs;
    for (Row& r : m_rows) byFs.push_back(&r);
    std::stable_sort(byFs.begin(), byFs.end(),
                     [](const Row* a, const Row* b) { return a->m.fs < b->m.fs; });
    int group = 0;
    for (size_t i = 0; i < byFs.size(); ++i) {
        if (i == 0 || byFs[i]->m.fs - byFs[i - 1]->m.fs > m_toleranceHz) ++group;
        byFs[i]->group = group;
    }
    if (!m_rows.empty()) Q_EMIT dataChanged(index(0, Group), index(rowCount() - 1, Group));
}

QString CrystalTable::toCsv() const {
    QString text = QStringLiteral("number,fs_hz,fp_hz,il_db,rm_ohm,lm_h,cm_f,c0_f,q,group\n");
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const Motional& m = m_rows[i].m;
        QStringList cells{QString::number(i + 1)};
        for (double v : {m.fs, m.fp, m.ilDb, m.rm, m.lm, m.cm, m.c0, m.q}) cells << exact(v);
        cells << QString::number(m_rows[i].group);
        text += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

} // namespace kalimor::analyser
