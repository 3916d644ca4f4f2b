// Classic look-ahead model; see classic_model.h.
#include "classic_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace telvo::bench {

using tool::kAxisCount;
using tool::Vec6;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Largest |a cos(psi) + b sin(psi)| for psi in [0, phi], phi < pi: the
// amplitude when the slope changes sign inside, else the larger end.
double peakOver(double a, double b, double cosPhi, double sinPhi) {
    double slope0 = b, slope1 = -a * sinPhi + b * cosPhi;
    if ((slope0 > 0.0 && slope1 < 0.0) || (slope0 < 0.0 && slope1 > 0.0)) return std::hypot(a, b);
    return std::max(std::fabs(a), std::fabs(a * cosPhi + b * sinPhi));
}

// Backward and forward passes over the junction speeds `j` (j[k] at the
// start of piece k), then each piece a trapezoid.
double trapezoidSeconds(std::vector<double> j, const std::vector<double>& len,
                        const std::vector<double>& v, const std::vector<double>& a) {
    size_t n = len.size();
    for (size_t k = n; k-- > 0;)
        j[k] = std::min(j[k], std::sqrt(j[k + 1] * j[k + 1] + 2.0 * a[k] * len[k]));
    for (size_t k = 0; k < n; ++k)
        j[k + 1] = std::min(j[k + 1], std::sqrt(j[k] * j[k] + 2.0 * a[k] * len[k]));
    double seconds = 0.0;
    for (size_t k = 0; k < n; ++k) {
        double v0 = j[k], v1 = j[k + 1], acc = a[k], l = len[k];
        double peak = std::min(v[k], std::sqrt((2.0 * acc * l + v0 * v0 + v1 * v1) / 2.0));
        peak = std::max({peak, v0, v1});
        double da = (peak * peak - v0 * v0) / (2.0 * acc),
               dd = (peak * peak - v1 * v1) / (2.0 * acc);
        double cruise = std::max(0.0, l - da - dd);
        seconds += (peak - v0) / acc + (peak - v1) / acc + (peak > 0.0 ? cruise / peak : 0.0);
    }
    return seconds;
}

}  // namespace

ClassicResult classicModel(const tool::Plan& plan, const tool::MotionLimits& limits) {
    std::array<double, kAxisCount> vmax{}, amax{};
    std::array<bool, kAxisCount> moves{};
    for (int i = 0; i < kAxisCount; ++i) {
        moves[i] = limits[i].enabled && limits[i].slaveOf == 0;
        vmax[i] = limits[i].maxVelocity / limits[i].stepsPerUnit;
        amax[i] = limits[i].acceleration / limits[i].stepsPerUnit;
    }
    const auto& pieces = plan.pieces;
    size_t n = pieces.size();
    std::vector<Vec6> u(n);
    std::vector<double> len(n), v(n), a(n);
    for (size_t k = 0; k < n; ++k) {
        double l2 = 0.0;
        for (int i = 0; i < kAxisCount; ++i) {
            u[k][i] = moves[i] ? pieces[k].b[i] - pieces[k].a[i] : 0.0;
            l2 += u[k][i] * u[k][i];
        }
        len[k] = std::sqrt(l2);
        for (double& x : u[k]) x /= len[k];
        v[k] = pieces[k].rapid ? kInf : pieces[k].feed;
        a[k] = kInf;
        for (int i = 0; i < kAxisCount; ++i) {
            double s = std::fabs(u[k][i]);
            if (!moves[i] || s < 1e-15) continue;
            v[k] = std::min(v[k], vmax[i] / s);
            a[k] = std::min(a[k], amax[i] / s);
        }
    }
    // Junction speeds at the start of each piece: with the acceleration
    // limited along the bisector of the turn, and held through the turn.
    std::vector<double> bisector(n + 1, 0.0), held(n + 1, 0.0);
    for (size_t k = 0; k + 1 < n; ++k) {
        const tool::PathPiece& p = pieces[k];
        double cosTurn = 0.0;
        for (int i = 0; i < kAxisCount; ++i) cosTurn += u[k][i] * u[k + 1][i];
        double limit = std::min(v[k], v[k + 1]);
        if (p.stopAfter || p.tolerance < 0.0) continue;
        if (cosTurn > 1.0 - 1e-12) {
            bisector[k + 1] = held[k + 1] = limit;
            continue;
        }
        if (p.tolerance == 0.0 || cosTurn < -0.9999) continue;
        // Junction deviation: sin of half the angle between the reversed
        // incoming and the outgoing direction gives the radius of the
        // circle that stays within the tolerance of the corner.
        double sinHalf = std::sqrt(std::max(0.0, 0.5 * (1.0 + cosTurn)));
        double radius = p.tolerance * sinHalf / (1.0 - sinHalf);
        Vec6 w{}, nrm{};
        double wl = 0.0, nl = 0.0;
        for (int i = 0; i < kAxisCount; ++i) {
            w[i] = u[k + 1][i] - u[k][i];
            wl += w[i] * w[i];
            // Square to the incoming direction, in the plane of the turn:
            // where the centripetal acceleration points as the turn starts.
            nrm[i] = u[k + 1][i] - cosTurn * u[k][i];
            nl += nrm[i] * nrm[i];
        }
        wl = std::sqrt(wl);
        nl = std::sqrt(nl);
        double sinTurn = std::sqrt(std::max(0.0, 1.0 - cosTurn * cosTurn));
        double alongBisector = kInf, throughTurn = kInf;
        for (int i = 0; i < kAxisCount; ++i) {
            if (!moves[i]) continue;
            double s = std::fabs(w[i]) / wl;
            if (s > 1e-15) alongBisector = std::min(alongBisector, amax[i] / s);
            double across = nl > 0.0 ? peakOver(nrm[i] / nl, -u[k][i], cosTurn, sinTurn) : 0.0;
            if (across > 1e-15) throughTurn = std::min(throughTurn, amax[i] / across);
        }
        bisector[k + 1] = std::min(limit, std::sqrt(alongBisector * radius));
        held[k + 1] = std::min(limit, std::sqrt(throughTurn * radius));
    }
    ClassicResult r;
    r.seconds = trapezoidSeconds(bisector, len, v, a) + plan.dwellSeconds;
    r.secondsHeld = trapezoidSeconds(held, len, v, a) + plan.dwellSeconds;
    for (size_t k = 0; k < n; ++k) r.feedBound += len[k] / v[k];
    r.feedBound += plan.dwellSeconds;
    return r;
}

}  // namespace telvo::bench
