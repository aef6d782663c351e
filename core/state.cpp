#include "core/state.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

namespace ruvo {

namespace {
// storage from this size on is mapped, below it taken from the heap
constexpr std::size_t MAPPED_BYTES = 64 * 1024;
} // namespace

void* zeroPages(std::size_t n, std::size_t size) {
  if (size != 0 && n > SIZE_MAX / size) throw std::bad_alloc();
  const std::size_t bytes = n * size;
  if (bytes < MAPPED_BYTES) {
    void* p = std::calloc(n == 0 ? 1 : n, size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

void releaseZeroPages(void* p, std::size_t n, std::size_t size) noexcept {
  if (p == nullptr) return;
  const std::size_t bytes = n * size;
  if (bytes < MAPPED_BYTES)
    std::free(p);
  else
    ::munmap(p, bytes);
}

std::atomic<int> g_interrupted{0};
std::atomic<int> g_terminateSignal{0};

void Transitions::allocate() {
  const std::size_t n = INITIAL_LINES + 1;
  qn = ZeroedVector<std::array<Slots, 2>>(n);
  freq = ZeroedVector<double>(n);
  err.assign(n, NODATA);
  psi = ZeroedVector<double>(n);
  inten = ZeroedVector<double>(n);
  levelIndex.assign(n, {-1000, -1000});
  eUp = ZeroedVector<LevelArray>(n);
  eLo = ZeroedVector<LevelArray>(n);
  partnerOfData.assign(n, 0);
}

double Transitions::residual(int i) const {
  auto valid = [&](int k) { return k >= 1 && k <= ndata; };
  const auto& up = qn[static_cast<std::size_t>(i)][UP];
  int P = up[slot::AVG];
  if (P == 0 || !valid(P)) P = i;
  const double c = 0.5 * (calc(P) + calc(i));
  const int Q = up[slot::SPLIT];
  const bool split = Q != 0 && Q != i && valid(Q);
  return (freq[static_cast<std::size_t>(i)] - (split ? freq[static_cast<std::size_t>(Q)] : 0.0)) -
         (c - (split ? calc(Q) : 0.0));
}

void Transitions::markPartnersOfData() {
  partnerOfData.assign(err.size(), 0);
  const int last = std::min(ndata, static_cast<int>(err.size()) - 1);
  auto inList = [&](int k) { return k >= 1 && k <= last; };
  for (int i = 1; i <= last; ++i) {
    if (err[i] == NODATA) continue;
    const int avg = qn[i][UP][slot::AVG], split = qn[i][UP][slot::SPLIT];
    if (avg != i && inList(avg)) partnerOfData[avg] = 1;
    if (split != i && inList(split)) partnerOfData[split] = 1;
  }
}

// The list doubles when it is full, so that a run of 100,000 lines copies it
// a few times and a run of a hundred lines never pays for the limit.
void Transitions::ensureLines(int n) {
  const std::size_t need = static_cast<std::size_t>(std::clamp(n, 0, DIMDATA)) + 1;
  if (qn.size() >= need) return;
  const std::size_t size =
      std::max(need, std::min(2 * qn.size(), static_cast<std::size_t>(DIMDATA) + 1));
  qn.resize(size);
  freq.resize(size);
  err.resize(size, NODATA);
  psi.resize(size);
  inten.resize(size);
  levelIndex.resize(size, {-1000, -1000});
  eUp.resize(size);
  eLo.resize(size);
}

namespace {

// f(to, from) for each per-line vector of two lists of transitions, then the
// number of lines and the input summary copied.
template <class F> void eachLineVector(Transitions& to, const Transitions& from, F&& f) {
  f(to.qn, from.qn);
  f(to.freq, from.freq);
  f(to.err, from.err);
  f(to.psi, from.psi);
  f(to.inten, from.inten);
  f(to.levelIndex, from.levelIndex);
  f(to.eUp, from.eUp);
  f(to.eLo, from.eLo);
  to.ndata = from.ndata;
  to.partnerOfData = from.partnerOfData;
  to.nDataPoints = from.nDataPoints;
  to.nSplit = from.nSplit;
  to.effData = from.effData;
  to.sumAbsSplit = from.sumAbsSplit;
  to.sumSqSplit = from.sumSqSplit;
  to.endsOfJ = from.endsOfJ;
  to.endsOfJStart = from.endsOfJStart;
}

} // namespace

Transitions Transitions::listedLines() const {
  Transitions t;
  const std::size_t n = std::min(static_cast<std::size_t>(std::max(ndata, 0)) + 1, qn.size());
  eachLineVector(t, *this,
                 [n](auto& to, const auto& from) { to.assign(from.begin(), from.begin() + n); });
  return t;
}

void Transitions::restoreListedLines(const Transitions& saved) {
  const std::size_t n = saved.qn.size();
  ensureLines(static_cast<int>(n) - 1);
  eachLineVector(*this, saved, [n](auto& to, const auto& from) {
    std::copy(from.begin(), from.begin() + n, to.begin());
  });
}

void RunState::allocate() {
  tr.allocate();
  trInputLine.assign(tr.qn.size(), 0); // grows with the list
  todo.e.assign(DIMTDO + 1, {});
  for (auto& a : use.u)
    for (auto& b : a) b.fill(-1);
}

int BlockState::toRecord(int rec[NBLOCKREC]) const {
  for (int i = 0; i < NBLOCKREC; ++i) rec[i] = 0;
  rec[0] = N;
  rec[1] = d;
  rec[2] = nvv;
  rec[3] = maxJ;
  rec[4] = nB;
  rec[5] = nsym;
  for (int t = 1; t <= DIMTOP; ++t) {
    rec[6 + 2 * (t - 1)] = firstV[t];
    rec[7 + 2 * (t - 1)] = nV[t];
  }
  rec[12] = ntop;
  rec[13] = woods;
  rec[14] = adjf;
  return NBLOCKREC;
}

void BlockState::fromRecord(const int rec[NBLOCKREC]) {
  N = rec[0];
  d = rec[1];
  nvv = rec[2];
  maxJ = rec[3];
  nB = rec[4];
  nsym = rec[5];
  for (int t = 1; t <= DIMTOP; ++t) {
    firstV[t] = rec[6 + 2 * (t - 1)];
    nV[t] = rec[7 + 2 * (t - 1)];
  }
  ntop = rec[12];
  woods = rec[13];
  adjf = rec[14];
}

void TorsionTables::allocate(int states, int tops, int largestJ) {
  nvs = states;
  ntops = tops;
  maxJ = std::clamp(largestJ, 0, DIMJ);
  NK = 2 * maxJ + 1;
  const std::size_t per = static_cast<std::size_t>(tops) * NS * NK;
  const std::size_t vv = static_cast<std::size_t>(states) * states;
  energy.assign(per * states, 0.0);
  ovv = ZeroedVector<double>(per * NOP * vv);
  label.assign(per * states, 0);
  vec = ZeroedVector<double>(static_cast<std::size_t>(NK) * states * DIMM);
  tint = ZeroedVector<double>(per * NK * vv);
  pint = ZeroedVector<double>(per * 3 * vv);
}

void RotationStore::allocate(int largestJ) {
  // largestJ < 0: no storage (a top the run does not have)
  maxJ = std::clamp(largestJ, -1, DIMJ);
  const std::size_t n = static_cast<std::size_t>(2 * maxJ + 1) * (2 * maxJ + 1);
  for (auto* m : {&d, &dd, &dPrev, &ddPrev}) *m = ZeroedVector<double>(n);
  mark = 0;
}

// The block matrices and everything of the order ld, with the rotated
// operators of the first `rotatedTops` tops.
void SweepWork::sizeForOrder(int rotatedTops) {
  const std::size_t n = static_cast<std::size_t>(ld), mat = n * n;
  for (auto* m : {&H, &Zr, &Zi, &V}) *m = ZeroedVector<double>(mat);
  E = ZeroedVector<double>(n);
  for (auto* w : {&w1, &w2, &w3, &w4, &w5, &w6}) *w = ZeroedVector<double>(n);
  tau = ZeroedVector<double>(2 * n);
  solverWork = ZeroedVector<double>(40 * n);
  solverIwork = ZeroedVector<int>(12 * n);
  basis = ZeroedVector<BasisRow>(n + 1);
  labels = ZeroedVector<std::array<int, NLABEL + 1>>(n + 1);
  need = ZeroedVector<int>(n + 1);
  levelEndsStart = ZeroedVector<int>(n + 2);
  levelEndsFill = ZeroedVector<int>(n + 2);
  for (int t = 1; t <= DIMTOP; ++t) rotOp[t] = ZeroedVector<double>(t <= rotatedTops ? mat : 0);
}

void SweepWork::allocate(int order, int states, int tops, int maxJ, int rotatedTops) {
  if (rotatedTops < 0 || rotatedTops > tops) rotatedTops = tops;
  ld = order > DIMTOT ? order : DIMTOT;
  sizeForOrder(rotatedTops);
  blockEnds = ZeroedVector<int>(2 * (static_cast<std::size_t>(DIMDATA) + 1));
  levelEnds = ZeroedVector<int>(2 * (static_cast<std::size_t>(DIMDATA) + 1));
  tors.allocate(states, tops, maxJ);
  torsMat = ZeroedVector<double>(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  // axis rotations of the run's tops only
  for (int t = 1; t <= DIMTOP; ++t) rot[t].allocate(t <= rotatedTops ? maxJ : -1);
  for (auto* v : {&baseUp, &baseLo, &fwdUp, &fwdLo}) *v = ZeroedVector<double>(DIMDATA + 1);
}

void SweepWork::growForJ(int maxJ, int states) {
  maxJ = std::clamp(maxJ, 0, DIMJ);
  const int order = std::max(states, 1) * (2 * maxJ + 1);
  if (order > ld) {
    // the block matrices and everything of their order, for the larger blocks
    ld = order;
    sizeForOrder(tors.ntops);
  }
  if (maxJ > tors.maxJ) {
    // the tables of a set no longer describe the one prepared last
    tors.allocate(tors.nvs, tors.ntops, maxJ);
    lastB = -1;
  }
  for (int t = 1; t <= tors.ntops && t <= DIMTOP; ++t)
    if (maxJ > rot[t].maxJ) rot[t].allocate(maxJ);
}

void FitState::allocate() {
  const std::size_t m = static_cast<std::size_t>(DIMFIT) * DIMFIT;
  for (auto* v : {&evec, &cov, &alpha, &workm}) *v = ZeroedVector<double>(m);
}

} // namespace ruvo
