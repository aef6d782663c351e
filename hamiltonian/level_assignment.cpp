// Quantum-number labels of the levels of a block, and the hand-over of
// energies, labels and derivatives to the transitions that name them.
#include "hamiltonian/level_assignment.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "numerics/largest_components.h"

namespace ruvo {

namespace {
constexpr int UNSET = -12345;
constexpr int LDW = DIM2J1; // leading dimension of the K weights
} // namespace

namespace {

// Labels of every level of the block from the composition of its eigenvector
// (sw.V, signed moduli) and its energy (sw.E).  After the diagonalisation
// sw.H is free; it holds the K weights and the torsional weights here.
// With `run` the level table is printed as the controls ask and what the
// labels tell the run (K trouble, a +-K pair told by sign) goes to it at
// once; without (a block labelled on a helper thread, no table asked for)
// it is left in sw.labelNotes for reportLabelNotes.
void assignLabels(const RunState& rs, RunState* run, SweepWork& sw, int J, int S, int F2, int B,
                  int pass) {
  const BlockState& blk = sw.blk;
  // N rows, of which the lowest `levels` eigenvectors were computed
  const int d = blk.d, nvv = blk.nvv, N = blk.N, levels = blk.levelCount();
  if (d > DIM2J1) stop(" ERROR: DIM 2J1 exceeded");
  const double* V = sw.V.data();
  const int ld = sw.ld;
  auto comp = [&](int r, int l) { return V[(r - 1) + std::size_t(l - 1) * ld]; }; // 1-based

  // 2. labels unset, ranks and counters cleared
  for (int l = 1; l <= levels; ++l) {
    auto& lab = sw.labels[l];
    lab[2] = lab[8] = lab[11] = UNSET;
    lab[12] = -200;
  }
  // leading dimension of the torsional weights: the product states of the
  // state section, or the kept states of vkeep
  const int LDV = std::max(nvv, DIMVV);
  std::array<int, DIMVKEEP + 1> rank{}, count{};

  // 3. weight of each K index, W(k, l) = sum_i V(k,i; l)^2, and of each
  // product torsional state, Vw(i, l) = sum_K V(k,i; l)^2
  double* W = sw.H.data();
  double* Vw = W + std::size_t(LDW) * ld;
  auto w = [&](int k, int l) -> double& { return W[(k - 1) + (l - 1) * LDW]; };
  auto vw = [&](int i, int l) -> double& { return Vw[(i - 1) + (l - 1) * LDV]; };
  for (int l = 1; l <= levels; ++l) {
    for (int k = 1; k <= d; ++k) w(k, l) = 0.0;
    for (int i = 1; i <= nvv; ++i) {
      double s = 0.0;
      for (int k = 1; k <= d; ++k) {
        const double c = comp((i - 1) * d + k, l);
        s += c * c;
        w(k, l) += c * c;
      }
      vw(i, l) = s;
    }
  }

  // 4. two equivalent tops: weigh the symmetric and antisymmetric
  // combinations of the product states that differ by exchanging the two
  // tops' states, when they separate the level better than the states do
  // (the states of each product state as the block's basis holds them: those
  // of the torsional-state section, or the product states kept with vkeep)
  auto stateOf = [&](int i, int t) {
    return blk.complete ? sw.basis[(i - 1) * d + 1].v[t] : rs.use(i, t, B);
  };
  if (blk.ntop == 2) {
    for (int i = 1; i <= nvv; ++i) {
      const int v1 = stateOf(i, 1), v2 = stateOf(i, 2);
      if (!(v2 < v1)) continue;
      int j = 0;
      for (int jj = 1; jj <= nvv; ++jj)
        if (stateOf(jj, 1) == v2 && stateOf(jj, 2) == v1) j = jj;
      if (j == 0) continue;
      for (int l = 1; l <= levels; ++l) {
        double vsi = 0.0, vsj = 0.0;
        for (int k = 1; k <= d; ++k) {
          const double G = comp((i - 1) * d + k, l), H = comp((j - 1) * d + k, l);
          vsi += (G + H) * (G + H) / 2.0;
          vsj += (G - H) * (G - H) / 2.0;
        }
        if (std::fabs(vsi - vsj) > std::fabs(vw(i, l) - vw(j, l))) {
          vw(i, l) = vsi;
          vw(j, l) = vsj;
        }
      }
    }
  }

  // 5. best and second-best K index and product state of every level
  // per level, 1..N (sized to the run, one set per thread that labels blocks)
  static thread_local std::vector<int> kBest, kSec, vBest, vSec, r1, r2;
  static thread_local std::vector<double> wBest, wSec, xBest, xSec, c1, c2;
  for (auto* a : {&kBest, &kSec, &vBest, &vSec, &r1, &r2})
    if (a->size() < std::size_t(ld) + 1) a->assign(std::size_t(ld) + 1, 0);
  for (auto* a : {&wBest, &wSec, &xBest, &xSec, &c1, &c2})
    if (a->size() < std::size_t(ld) + 1) a->assign(std::size_t(ld) + 1, 0.0);
  std::fill_n(kBest.begin(), N + 1, 0);
  std::fill_n(kSec.begin(), N + 1, 0);
  std::fill_n(vBest.begin(), N + 1, 0);
  std::fill_n(vSec.begin(), N + 1, 0);
  if (levels > 0) {
    largestComponents(W, LDW, ld, d, 1, levels, kBest.data(), kSec.data(), wBest.data(),
                      wSec.data());
    largestComponents(Vw, LDV, ld, nvv, 1, levels, vBest.data(), vSec.data(), xBest.data(),
                      xSec.data());
  }

  // 6. product states ranked by their first appearance in energy order
  if (levels > 0) rank[vBest[1]] = 1;
  for (int l = 2; l <= levels; ++l)
    if (vBest[l] != vBest[l - 1] && rank[vBest[l]] == 0) rank[vBest[l]] = rank[vBest[l - 1]] + 1;

  // 7. level table header
  const bool print = run && levelTablePrinted(rs.ctl, pass);
  sw.labelNotes.kTrouble.clear();
  sw.labelNotes.pmPair = false;
  if (print) {
    std::ostream& ev = run->io.evalFile;
    if (pass != run->lastPrintedPass) {
      put(ev, "(A,I3)", {" *********** FISTAT =", pass});
      run->lastPrintedPass = pass;
    }
    put(ev, "(/,4A3,2X,4A3,A15,4A)",
        {"J", "S", "B", "F", "T", "t", "K", "V", " Energy/GHz ", "   best K(s)      vec ",
         "  V   vec", " 2nd.K vec", " 2nd.V vec"});
  }

  // 8. labels of each level in energy order
  auto Kof = [&](int r) { return sw.basis[r].K; };
  auto sqrtVw = [&](int i, int l) { return i >= 1 && i <= nvv ? std::sqrt(vw(i, l)) : 0.0; };
  bool pmPair = false;
  for (int l = 1; l <= levels; ++l) {
    auto& lab = sw.labels[l];
    lab[1] = J;
    lab[5] = B;
    lab[6] = S;
    lab[7] = F2;
    const int kb = kBest[l];
    const int ks = kSec[l] >= 1 ? kSec[l] : kb;
    const double W1 = w(kb, l), W2 = w(ks, l);
    const double D = d == 1 ? 1.0 : std::fabs(W1 - W2);
    const int vb = vBest[l];
    // With many kept states (vkeep) the K weights of two torsional states
    // that mix high above the barrier can tie by accident: a tie is a +-K
    // pair only when the two K indices are K and -K.
    const bool tie = D < 0.0002;
    const bool pmK = tie && (!blk.complete || std::abs(kb - J - 1) == std::abs(ks - J - 1));
    if (pmK) {
      // a +-K pair of equal weights: the combination is told by the relative
      // sign of its two dominant components
      r2[l] = 0;
      largestComponents(V, ld, ld, N, l, 1, r1.data(), r2.data(), c1.data(), c2.data());
      if (blk.complete) {
        // many kept states: the sign is told by the two largest components
        // of the pair itself (K and -K of the best K index, any torsional
        // state), not by a larger component of another K
        const int Kpair = std::abs(kb - J - 1);
        r1[l] = r2[l] = 0;
        double a1 = -1.0, a2 = -1.0;
        for (int r = 1; r <= N; ++r) {
          if (std::abs(Kof(r)) != Kpair) continue;
          const double a = std::fabs(comp(r, l));
          if (a >= a1) {
            a2 = a1;
            r2[l] = r1[l];
            a1 = a;
            r1[l] = r;
          } else if (a >= a2) {
            a2 = a;
            r2[l] = r;
          }
        }
        c1[l] = comp(r1[l], l);
        c2[l] = r2[l] >= 1 ? comp(r2[l], l) : 0.0;
      }
      const int rowA = r1[l], rowB = r2[l] >= 1 ? r2[l] : r1[l];
      if (std::abs(Kof(rowA)) != std::abs(Kof(rowB))) {
        if (run)
          putFree(*run->io.out, {"ERROR in assgn: K trouble", J, S, l});
        else
          sw.labelNotes.kTrouble.push_back(l);
      }
      const double cA = c1[l], cB = r2[l] >= 1 ? c2[l] : 0.0;
      const long s = static_cast<long>(10000.0 * cA * cB); // truncated toward zero
      const int K = s < 0 ? -std::abs(Kof(rowA)) : std::abs(Kof(rowA));
      lab[2] = lab[11] = K;
      lab[12] = 1000;
      lab[9] = ++count[vb];
      lab[3] = rank[vb];
      lab[8] = l;
      pmPair = true;
      if (print) {
        const char* sign = s > 0 ? "+" : (s < 0 ? "-" : " ");
        put(run->io.evalFile,
            "(4i3,2X,2i3,i2,A,i3,F15.8,1X,2I3,2F7.3,I4,F6.3,10X,I4,             F6.3)",
            {J, S, B, F2, l, lab[9], std::abs(K), sign, lab[3], sw.E[l - 1], Kof(rowA), Kof(rowB),
             cA, cB, vb, sqrtVw(vb, l), vSec[l], sqrtVw(vSec[l], l)});
      }
    } else {
      lab[12] = W1 > 0.0 ? static_cast<int>(100.0 * std::fabs(1.0 - W2 / W1)) : 0;
      lab[2] = kb - J - 1;
      lab[11] = ks - J - 1;
      lab[9] = ++count[vb];
      lab[3] = rank[vb];
      lab[8] = l;
      if (print)
        put(run->io.evalFile, "(4i3,2X,4i3,F15.8,1X,I6,F14.3,I4,F6.3,I4,F6.3,I4,F6.3)",
            {J, S, B, F2, l, lab[9], lab[2], lab[3], sw.E[l - 1], lab[2], std::sqrt(W1), vb,
             sqrtVw(vb, l), lab[11], std::sqrt(W2), vSec[l], sqrtVw(vSec[l], l)});
    }
  }
  // 9. species whose levels come in sign-labelled +-K pairs
  if (pmPair && S > 0 && S <= DIMSYM) {
    if (run)
      run->pmKSign[S] = 1;
    else
      sw.labelNotes.pmPair = true;
  }
}

} // namespace

bool levelTablePrinted(const Controls& ctl, int pass) {
  return (ctl.eval > 0 && pass == 0) || ctl.eval > 1;
}

void labelLevels(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, int pass) {
  assignLabels(rs, &rs, sw, J, S, F2, B, pass);
}

void labelLevelsAside(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B) {
  assignLabels(rs, nullptr, sw, J, S, F2, B, 0);
}

void reportLabelNotes(RunState& rs, const SweepWork& sw, int J, int S) {
  for (const int l : sw.labelNotes.kTrouble)
    putFree(*rs.io.out, {"ERROR in assgn: K trouble", J, S, l});
  if (sw.labelNotes.pmPair && S > 0 && S <= DIMSYM) rs.pmKSign[S] = 1;
}

bool everyEndFindsALevel(const RunState& rs, const SweepWork& sw, int J, int S, int F2, int B) {
  const Transitions& tr = rs.tr;
  const int levels = sw.blk.levelCount();
  const bool ignoreV = sw.blk.ntop == 0;
  const bool indexed = J >= 0 && static_cast<std::size_t>(J) + 1 < tr.endsOfJStart.size();
  const int nCandidates = indexed ? tr.endsOfJStart[J + 1] - tr.endsOfJStart[J] : 2 * tr.ndata;
  for (int i = 0; i < nCandidates; ++i) {
    const int code = indexed ? tr.endsOfJ[static_cast<std::size_t>(tr.endsOfJStart[J] + i)] : i + 2;
    const Slots& q = tr.qn[code / 2][code % 2];
    if (q[slot::J] != J || q[slot::F] != F2 || q[slot::B] != B || q[slot::S] != S) continue;
    const int kind = q[slot::KIND];
    bool found = false;
    for (int l = 1; l <= levels && !found; ++l) {
      const auto& lab = sw.labels[l];
      if (hasBit(kind, kindbit::BY_T))
        found = q[slot::T] == lab[8];
      else if (hasBit(kind, kindbit::BY_t))
        found = q[slot::t] == lab[9] && (ignoreV || q[slot::V1] == lab[3]);
      else
        found = q[slot::K] == lab[2] && (ignoreV || q[slot::V1] == lab[3]);
    }
    if (!found) return false;
  }
  return true;
}

// Energies and labels of the block into every transition end that names one
// of its levels; need flags of the levels whose energies enter a data point
// (measured lines and their blend and splitting partners).
void storeLevelEnergies(RunState& rs, SweepWork& sw, int J, int S, int F2, int B) {
  const int N = sw.blk.levelCount();
  const bool ignoreV = sw.blk.ntop == 0;
  for (int l = 1; l <= N; ++l) sw.need[l] = 0;
  Transitions& tr = rs.tr;
  sw.nBlockEnds = 0;
  sw.blockEndsKey = {J, S, F2, B};
  // the ends whose level has this J (during a sweep from its index by J,
  // else from the whole list), in list order
  const bool indexed = J >= 0 && static_cast<std::size_t>(J) + 1 < tr.endsOfJStart.size();
  const int nCandidates = indexed ? tr.endsOfJStart[J + 1] - tr.endsOfJStart[J] : 2 * tr.ndata;
  for (int i = 0; i < nCandidates; ++i) {
    const int code = indexed ? tr.endsOfJ[static_cast<std::size_t>(tr.endsOfJStart[J] + i)] : i + 2;
    const int k = code / 2, end = code % 2;
    Slots& q = tr.qn[k][end];
    if (q[slot::J] != J || q[slot::F] != F2 || q[slot::B] != B || q[slot::S] != S) continue;
    sw.blockEnds[static_cast<std::size_t>(sw.nBlockEnds++)] = 2 * k + end;
    for (int l = 1; l <= N; ++l) {
      const auto& lab = sw.labels[l];
      const int kind = q[slot::KIND];
      bool match;
      if (hasBit(kind, kindbit::BY_T))
        match = q[slot::T] == lab[8];
      else if (hasBit(kind, kindbit::BY_t))
        match = q[slot::t] == lab[9];
      else
        match = q[slot::K] == lab[2];
      if (!match || hasBit(kind, kindbit::FOUND)) continue;
      if (!(ignoreV || q[slot::V1] == lab[3] || hasBit(kind, kindbit::BY_T))) continue;
      tr.level(k, end)[0] = sw.E[l - 1];
      q[slot::KIND] = withBits(kind, kindbit::FOUND);
      q[slot::t] = lab[9];
      q[slot::T] = lab[8];
      q[slot::K] = lab[2];
      q[slot::K2] = lab[11];
      q[slot::Q] = lab[12];
      q[slot::V1] = lab[3];
      tr.levelIndex[k][end] = l;
      if (tr.entersData(k)) sw.need[l] = withBits(sw.need[l], 1);
    }
  }
  // the block's ends by the rank T of the level they name (ends whose T is
  // no level of the block are in no list)
  auto& start = sw.levelEndsStart;
  std::fill(start.begin(), start.begin() + N + 2, 0);
  const auto rankOf = [&](int code) { return tr.qn[code / 2][code % 2][slot::T]; };
  for (int e = 0; e < sw.nBlockEnds; ++e) {
    const int T = rankOf(sw.blockEnds[static_cast<std::size_t>(e)]);
    if (T >= 1 && T <= N) ++start[T + 1];
  }
  for (int T = 1; T <= N; ++T) start[T + 1] += start[T];
  auto& fill = sw.levelEndsFill;
  std::copy(start.begin(), start.begin() + N + 2, fill.begin());
  for (int e = 0; e < sw.nBlockEnds; ++e) {
    const int code = sw.blockEnds[static_cast<std::size_t>(e)], T = rankOf(code);
    if (T >= 1 && T <= N) sw.levelEnds[static_cast<std::size_t>(fill[T]++)] = code;
  }
}

// Derivatives of the level of rank T, combined into the analytic fit
// variables, added into the derivative columns of the transition ends that
// use the level.
void storeLevelDerivatives(RunState& rs, const SweepWork& sw, int J, int S, int F2, int B, int T,
                           const FitModel& fm, const double* dEdp) {
  Transitions& tr = rs.tr;
  if (tr.ndata <= 0) return;
  const int nfit = fm.nfit < DIMFIT ? fm.nfit : DIMFIT;
  // dE/dp of the level (GHz per unit of p) combined into the analytic fit
  // variables of one transition end that names it
  auto add = [&](int k, int end) {
    const Slots& q = tr.qn[k][end];
    if (q[slot::J] != J || q[slot::F] != F2 || q[slot::S] != S || q[slot::T] != T ||
        q[slot::B] != B)
      return;
    LevelArray& level = tr.level(k, end);
    for (int i = 1; i <= nfit; ++i) {
      const FitVar& fv = fm.var[i];
      if (fv.kind <= 0) continue;
      for (int j = 1; j <= fv.nterm && j <= DIMPLC; ++j)
        if (fv.set[j] == B && fv.par[j] >= 1 && fv.par[j] <= 32)
          level[i] += fv.coef[j] * dEdp[fv.par[j]];
    }
  };
  // the ends of the block as its energies were stored, in list order; the
  // whole list when they were stored for another block
  if (sw.blockEndsKey == std::array<int, 4>{J, S, F2, B}) {
    // only the ends that name level T: the others would not match
    if (T < 1 || T > sw.blk.levelCount()) return;
    for (int e = sw.levelEndsStart[T]; e < sw.levelEndsStart[T + 1]; ++e) {
      const int code = sw.levelEnds[static_cast<std::size_t>(e)];
      add(code / 2, code % 2);
    }
    return;
  }
  for (int k = 1; k <= tr.ndata; ++k)
    for (int end : {UP, LO}) add(k, end);
}

} // namespace ruvo
