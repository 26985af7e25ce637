#pragma once

#include "analyser/Crystal.h"

#include <QAbstractTableModel>

#include <vector>

namespace kalimor::analyser {

// The crystals measured in one batch, as a table: the cells show each value
// rounded to what a measurement can tell, the CSV keeps every digit. Crystals
// whose series resonances agree within the tolerance share a group (the
// crystals of one ladder filter).
class CrystalTable : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Number, Fs, Fp, Il, Rm, Lm, Cm, C0, Q, Group, Columns };
    explicit CrystalTable(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // Numbers (not texts), so that a sorting view sorts them as numbers.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void add(const Motional& m);
    // In Hz; the groups are drawn again.
    void setTolerance(double hz);
    const Motional& crystal(int row) const { return m_rows[size_t(row)].m; }
    int group(int row) const { return m_rows[size_t(row)].group; }
    // "number,fs_hz,fp_hz,il_db,rm_ohm,lm_h,cm_f,c0_f,q,group", one crystal a line.
    QString toCsv() const;

private:
    void regroup();
    struct Row {
        Motional m;
        int group = 0;
    };
    std::vector<Row> m_rows; // in the order measured: the number is the row's
    double m_toleranceHz = 50;
};

} // namespace kalimor::analyser
