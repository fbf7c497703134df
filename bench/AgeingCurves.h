#pragma once

#include <QList>
#include <QString>

#include <vector>

namespace NVL::Engineering::VK::Bench {

// Measured capacity fade of lithium-ion cells (data/ageing-curves, with its source), read the way such
// curves are read: a monotone piecewise cubic (Fritsch-Carlson) through each cell's check-ups.
class AgeingCurves
{
public:
    // The copy compiled into the program; empty with a message on standard error when it cannot be read.
    static AgeingCurves load();

    int count() const { return int(m_cells.size()); }
    // Capacity of `cell` relative to new (1.0) at test time `t`, which runs from 0 to end(cell).
    double capacity(int cell, double t) const;
    double end(int cell) const { return m_cells[size_t(cell)].t.back(); }
    // The first test time at which the cell is at or under `fraction`, or -1.
    double timeAt(int cell, double fraction) const;

private:
    struct Cell
    {
        std::vector<double> t, cap, slope;
    };
    std::vector<Cell> m_cells;
};

} // namespace NVL::Engineering::VK::Bench
