#include "LeastSquares.h"

#include <algorithm>
#include <cmath>

namespace NVL::Engineering::VK {

LeastSquares::LeastSquares(int terms)
    : m_terms(std::clamp(terms, 1, MaximumTerms))
{
}

void LeastSquares::add(std::initializer_list<double> row, double y)
{
    add(row.begin(), y);
}

void LeastSquares::add(const double *row, double y)
{
    m_count += 1;
    m_yy += y * y;
    for (int i = 0; i < m_terms; ++i) {
        m_xy[size_t(i)] += row[i] * y;
        for (int j = 0; j <= i; ++j)
            m_gram[size_t(i)][size_t(j)] += row[i] * row[j];
    }
}

bool LeastSquares::solve()
{
    const int n = m_terms;
    if (m_count < n)
        return false;
    // Gauss-Jordan with partial pivoting on [G | I]; a pivot that vanishes against the diagonal's scale
    // is a design the points cannot tell apart.
    std::array<std::array<double, 2 * MaximumTerms>, MaximumTerms> a{};
    double scale = 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j)
            a[size_t(i)][size_t(j)] = i >= j ? m_gram[size_t(i)][size_t(j)] : m_gram[size_t(j)][size_t(i)];
        a[size_t(i)][size_t(n + i)] = 1;
        scale = std::max(scale, std::fabs(a[size_t(i)][size_t(i)]));
    }
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r) {
            if (std::fabs(a[size_t(r)][size_t(c)]) > std::fabs(a[size_t(pivot)][size_t(c)]))
                pivot = r;
        }
        if (!(std::fabs(a[size_t(pivot)][size_t(c)]) > 1e-12 * std::max(scale, 1e-300)))
            return false;
        std::swap(a[size_t(c)], a[size_t(pivot)]);
        const double p = a[size_t(c)][size_t(c)];
        for (int j = 0; j < 2 * n; ++j)
            a[size_t(c)][size_t(j)] /= p;
        for (int r = 0; r < n; ++r) {
            if (r == c)
                continue;
            const double f = a[size_t(r)][size_t(c)];
            if (f != 0) {
                for (int j = 0; j < 2 * n; ++j)
                    a[size_t(r)][size_t(j)] -= f * a[size_t(c)][size_t(j)];
            }
        }
    }
    double explained = 0;
    for (int i = 0; i < n; ++i) {
        m_beta[size_t(i)] = 0;
        for (int j = 0; j < n; ++j) {
            m_inverse[size_t(i)][size_t(j)] = a[size_t(i)][size_t(n + j)];
            m_beta[size_t(i)] += m_inverse[size_t(i)][size_t(j)] * m_xy[size_t(j)];
        }
        explained += m_beta[size_t(i)] * m_xy[size_t(i)];
    }
    m_sse = std::max(m_yy - explained, 0.0);
    return true;
}

} // namespace NVL::Engineering::VK
