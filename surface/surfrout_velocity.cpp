// Velocity and flux of one cell towards its neighbours (flowpath methods 1 to
// 5) by Manning-Strickler, v = M R^0.66667 sqrt(I), and the Strickler
// coefficient of the cell's land use with the resistance of crop rows
// (conserving tillage) or plant stems (nonconserving tillage).
#include <cmath>

#include "parameters/landuse_table_entry.h"
#include "surface/surfrout.h"

namespace {
constexpr int kDr[9] = {0, -1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kDc[9] = {0, 0, 1, 1, 1, 0, -1, -1, -1};
constexpr double kDefaultKST = 10.0;  // "SR_K_ST" of an entry without the key
}  // namespace

void surfaceroutingclass::CellVelocity(int row, int col, int /*counter*/, int /*mark*/, int kind) {
  // The velocity and discharge follow the water of this sub-time-step in
  // every one: a flux kept from an earlier sub-time-step would hold the
  // discharge of another depth for as long as the bounds of the sub time
  // step say, and the results would depend on them.
  double* W = own[kWeights].stack[row][col];
  double* V = own[kVelocity].stack[row][col];
  double* F = own[kFluxes].stack[row][col];
  const int main = static_cast<int>(V[0]);
  Grid head = own[kHead].grid;
  const double hc = head[row][col];
  if (!(hc > 0)) {
    // No water on the cell: no velocity and no flux in any direction.
    for (int k = 1; k <= 8; ++k) StoreIfChanged(V[k], 0.0);
    for (int k = 0; k <= 8; ++k) StoreIfChanged(F[k], 0.0);
    return;
  }
  const int x = CellIndex(row, col);
  const int code = cellentry[x];
  const int mode = code > 0 ? landusetable[code].GetSR_cultivation() : 3;
  const double kst = code > 0 ? landusetable[code].GetSR_K_ST() : kDefaultKST;
  const double rc = (mode == 1 || mode == 2) ? cellrc[x] : 0.5;
  const bool withHead = method >= 3;
  auto level = [&](int r, int c) {
    return elevation[r][c] + (withHead && DataCell(r, c) && zonegrid[r][c] > 0 ? head[r][c] : 0.0);
  };
  const double H = elevation[row][col] + (withHead ? hc : 0.0);
  // The receivers: a weight, a data cell lower than the cell, and water
  // above the higher of the two bottoms (methods 3 to 5 compare water
  // levels: over a rim only the water above it flows). The cell's water
  // leaves at the Manning-Strickler discharge of its steepest receiver;
  // the receivers share that one discharge by their weights.
  double slope[9] = {}, depth[9] = {}, share = 0;
  int steepest = 0;
  double sectionOf = 0;  // m2, of the steepest receiver
  for (int k = 1; k <= 8; ++k) {
    const int r = row + kDr[k], c = col + kDc[k];
    if (!(W[k] > 0) || !DataCell(r, c)) continue;
    const double L = (k % 2 == 1) ? cellsize : cellsize * 1.4142135;
    const double Hk = level(r, c);
    if (!(H - Hk > 0)) continue;
    double I = (H - Hk) / L;
    if (kind == 2 && Hk >= elevation[row][col]) {
      // Water standing above the cell's bottom at the receiver: the
      // gradient of the levels across the cell.
      const int o = (k + 3) % 8 + 1;
      I = (level(row + kDr[o], col + kDc[o]) - Hk) / (2 * L);
    }
    slope[k] = I;
    depth[k] = withHead ? std::min(hc, H - elevation[r][c]) : hc;
    share += W[k];
    // Of equally steep receivers the one with the larger flow section
    // (width times depth) drives the cell, whatever their numbers: a mirror
    // image of the terrain drains alike.
    const double section = L * depth[k];
    if (steepest == 0 || I > slope[steepest] || (I == slope[steepest] && section > sectionOf)) {
      steepest = k;
      sectionOf = section;
    }
  }
  double v = 0, discharge = 0;  // m/s, m3/s
  if (steepest > 0 && slope[steepest] > 0) {
    const double L = (steepest % 2 == 1) ? cellsize : cellsize * 1.4142135;
    const double sqrtI = std::sqrt(slope[steepest]);
    const double R = depth[steepest];
    if (method == 5) {
      v = 10 * sqrtI * std::pow(R, 0.66667);
      discharge = v * L * R;
    } else {
      // Manning-Strickler with the Strickler coefficient of the crops,
      // which depends on the velocity: iterated from the velocity of the
      // sub-time-step before.
      const double start = V[steepest] > 0 ? V[steepest] : 0.1;
      double M = kst;
      auto iterate = [&](double radius) {
        double vprev = v > 0 ? v : start, vnew = vprev;
        for (int pass = 0; pass < velsteps && (pass == 0 || std::fabs(vprev - vnew) > velerror); ++pass) {
          const double vmid = (vprev + vnew) / 2;
          M = CropFrictionFactor(vmid, radius, rc, sqrtI, row, col, code, mode);
          vprev = vnew;
          vnew = std::pow(radius, 0.66667) * M * sqrtI;
        }
        v = vnew;
      };
      iterate(R);
      // Flow above the critical shear stress concentrates into a narrower
      // section of the concentration factor times the depth and its inverse
      // times the width: faster, with the same discharge per depth.
      const double tau = std::pow(M / kst, 1.5) * R * 9815 * slope[steepest];
      if (!(own[kShearStress].grid[row][col] > tau) && concfactor > 1) iterate(R * concfactor);
      if (R < 0.0001) v = 0;  // a film below 0.1 mm does not move
      discharge = L * v * R;
    }
  }
  F[0] = 0;
  for (int k = 1; k <= 8; ++k) {
    const bool receiver = depth[k] > 0 && discharge > 0;
    V[k] = receiver ? v : 0.0;
    F[k] = receiver ? W[k] / share * discharge : 0.0;
    F[0] += F[k];
    if (receiver && fpe != 0) {
#pragma omp critical(surfrout_fpe)
      ReportFPE(row, col, 99, k, W[k], V[k], 0, 0, 0);
    }
  }
  if (main >= 1 && main <= 8) StoreIfChanged(F[0], F[main]);
}

double surfaceroutingclass::CropFrictionFactor(double v, double h, double rc, double sqrtI, int row, int col, int code,
                                               int mode) {
  const landuse_table_entry* e = code > 0 ? &landusetable[code] : nullptr;
  const double kst = e ? e->GetSR_K_ST() : kDefaultKST;
  // Without flow there is no crop resistance to speak of (and the Reynolds
  // numbers below would divide by zero).
  if (mode == 3 || !e || !(v > 0) || !(h > 0)) return kst;
  if (mode == 1) {
    const double Re = 4e6 * v * h;
    double a, b, c;
    if (Re < 20000)
      e->GetSR_rough_coeff1(a, b, c);
    else
      e->GetSR_rough_coeff2(a, b, c);
    const double inverse = a * std::pow(100 * rc, b) / std::pow(Re, c);
    const double M = 1 / inverse;
    return std::isfinite(M) && M > 0 ? M : kst;
  }
  const double dP = celldp[CellIndex(row, col)];
  const double ax = e->GetSR_CropDistX();
  const double ay = e->GetSR_CropDistY();
  if (!(dP >= 0.001) || !(h >= mincropdepth)) return kst;
  const double Red = v * dP * 1e6;
  const double Cd = Red < 800 ? 3.07 * std::pow(Red, -0.168) : Red < 8000 ? 1.0 : Red < 10000 ? 1.2 : e->GetSR_C_WR();
  double s = sqrtI;
  if (sqrtI * Cd / (v * v) > 0.04) s = v * v / Cd / 25;
  double anl = 50 * dP;
  if (anl > anlerror && anlsteps >= 1) {
    double last = 0;
    for (int j = 0; j < anlsteps; ++j) {
      const double next = 128.9 * Cd * dP * std::pow(1 + anl * 9.8159 * s / (0.5 * v * v), -2.14);
      const double change = std::fabs(next - last);
      anl = last = next;
      if (change <= anlerror) break;
    }
  }
  const double anb = 0.24 * std::pow(anl, 0.59) * std::pow(Cd * dP, 0.41);
  double Fr = v / std::sqrt(9.8159 * h);
  const double ay2 = ay <= 5 * dP ? 5 * dP : ay;
  const double r = ay2 / (ay2 - dP);
  const double r3 = r * r * r;
  if (r3 * Fr > 0.666) Fr = 2 / (3 * r3);
  double F;
  if (Fr < 0.05) {
    Fr = 0.05;
    F = 799.9999999999999;
  } else {
    F = 2 / (Fr * Fr);
  }
  double u = 0.4;
  if (anlsteps >= 1) {
    double y = 0.6, y2 = y;
    for (int j = 0; j < anlsteps; ++j) {
      const double d = y * y - 1;
      if (d == 0) break;
      y2 = (y - r) * 2 * Fr / d;
      if (std::fabs(y - y2) <= 0.0001) break;
      y = y2;
    }
    u = 1 - y2;
  }
  const double cwr = 1.31 * Cd * (1.15 * std::pow(anl / ax, -0.48) + 0.5 * std::pow(anb / ay, 1.1)) + u * F;
  const double lambda = cwr * 4 * h * dP / (ax * ay2);
  if (lambda == 0) return kst;
  const double h3 = std::pow(h, 0.3333);
  const double M2 = 78.5272 / ((78.5272 / (kst * kst * h3) + lambda) * h3);
  if (!std::isfinite(M2)) return kst;
  return M2 > 0 ? std::sqrt(M2) : 0.001;
}
