#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

namespace NVL::Engineering::VK {

// Ordinary least squares of a few coefficients by the normal equations, points added one at a time:
// the fits of a year of daily points have at most five, and the inverse gives their covariance.
class LeastSquares
{
public:
    static constexpr int MaximumTerms = 5;

    explicit LeastSquares(int terms);

    void add(std::initializer_list<double> row, double y);
    void add(const double *row, double y);
    // False where the points cannot tell the coefficients apart.
    bool solve();

    int terms() const { return m_terms; }
    double count() const { return m_count; }
    double beta(int i) const { return m_beta[size_t(i)]; }
    // Of the coefficients, with the residual variance of the fit.
    double covariance(int i, int j) const { return m_inverse[size_t(i)][size_t(j)] * variance(); }
    // (X'X)^-1 alone.
    double unscaled(int i, int j) const { return m_inverse[size_t(i)][size_t(j)]; }
    double sse() const { return m_sse; }
    double variance() const { return m_count > m_terms ? m_sse / (m_count - m_terms) : 0; }

private:
    int m_terms;
    double m_count = 0, m_yy = 0, m_sse = 0;
    std::array<std::array<double, MaximumTerms>, MaximumTerms> m_gram{};
    std::array<std::array<double, MaximumTerms>, MaximumTerms> m_inverse{};
    std::array<double, MaximumTerms> m_xy{};
    std::array<double, MaximumTerms> m_beta{};
};

// The normal quantile of a two-sided 95 % range.
constexpr double Z95 = 1.96;

} // namespace NVL::Engineering::VK
