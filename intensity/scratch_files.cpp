// Scratch files of eigenvectors and torsional integrals (layout in the
// header).  Writing goes through one buffered stream per file; reading checks
// the frame and the size of every record before its contents are used, so a
// missing, short or foreign file is reported and never read past its end.
#include "intensity/scratch_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <unistd.h>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace ruvo {

namespace {

// ----------------------------------------------------------- record writer
// Records are gathered in memory and the file is stored whole when close()
// finds everything written: in the store's memory, or in its directory.
class RecordWriter {
public:
  // Any complete earlier version of the file goes now.
  RecordWriter(ScratchDir& dir, const std::string& name, std::ostream& err)
      : dir_(dir), name_(name), err_(err) {
    dir_.drop(name_);
  }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  bool ok() const { return status_ == 0; }
  int status() const { return status_; }

  // Start a record of `bytes` bytes; the pieces that follow must fill it.
  void begin(std::size_t bytes) {
    length_ = static_cast<std::uint32_t>(bytes);
    raw(&length_, sizeof length_);
  }
  void end() { raw(&length_, sizeof length_); }
  void raw(const void* p, std::size_t bytes) { bytes_.append(static_cast<const char*>(p), bytes); }
  // Room for a file of `bytes` bytes, made at once.
  void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
  // Store the file; false when that failed.
  bool close() {
    status_ = dir_.put(name_, std::move(bytes_), err_);
    return ok();
  }

private:
  ScratchDir& dir_;
  std::string name_;
  std::ostream& err_;
  std::string bytes_;
  int status_ = 0;
  std::uint32_t length_ = 0;
};

// ----------------------------------------------------------- record reader
class RecordReader {
public:
  // Only a file this run stored completely is read: from memory, or from
  // the store's directory.
  RecordReader(const ScratchDir& dir, const std::string& name) {
    if (name.empty()) return;
    memory_ = dir.inMemory(name);
    if (memory_) {
      ok_ = true;
      return;
    }
    const int fd = dir.open(name);
    f_ = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !f_) ::close(fd);
    ok_ = f_ != nullptr;
    if (f_) std::setvbuf(f_, buffer_, _IOFBF, sizeof buffer_);
  }
  ~RecordReader() {
    if (f_) std::fclose(f_);
  }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  bool ok() const { return ok_; }

  // Read the next record, which must hold exactly `bytes` bytes, into `p`.
  bool read(void* p, std::size_t bytes) {
    std::uint32_t head = 0, tail = 0;
    if (!ok_ || !get(&head, sizeof head) || head != bytes || !get(p, bytes) ||
        !get(&tail, sizeof tail) || tail != head)
      ok_ = false;
    return ok_;
  }
  // Begin reading a record of exactly `bytes` bytes piece by piece.
  bool begin(std::size_t bytes) {
    std::uint32_t head = 0;
    if (!ok_ || !get(&head, sizeof head) || head != bytes) ok_ = false;
    length_ = head;
    return ok_;
  }
  bool piece(void* p, std::size_t bytes) {
    if (ok_ && !get(p, bytes)) ok_ = false;
    return ok_;
  }
  bool end() {
    std::uint32_t tail = 0;
    if (!ok_ || !get(&tail, sizeof tail) || tail != length_) ok_ = false;
    return ok_;
  }
  // Skip the next record, which must hold exactly `bytes` bytes.
  bool skip(std::size_t bytes) {
    std::uint32_t head = 0, tail = 0;
    if (!ok_ || !get(&head, sizeof head) || head != bytes || !forward(bytes) ||
        !get(&tail, sizeof tail) || tail != head)
      ok_ = false;
    return ok_;
  }

private:
  bool get(void* p, std::size_t bytes) {
    if (memory_) {
      if (memory_->size() - at_ < bytes) return false;
      std::memcpy(p, memory_->data() + at_, bytes);
      at_ += bytes;
      return true;
    }
    return std::fread(p, 1, bytes, f_) == bytes;
  }
  bool forward(std::size_t bytes) {
    if (memory_) {
      if (memory_->size() - at_ < bytes) return false;
      at_ += bytes;
      return true;
    }
    return std::fseek(f_, static_cast<long>(bytes), SEEK_CUR) == 0;
  }
  const std::string* memory_ = nullptr;
  std::size_t at_ = 0;
  std::FILE* f_ = nullptr;
  bool ok_ = false;
  std::uint32_t length_ = 0;
  char buffer_[1 << 16];
};

constexpr std::size_t INT = sizeof(std::int32_t);
constexpr std::size_t REAL = sizeof(double);

std::size_t levelRecordBytes(int N) {
  return REAL + NFILELABEL * INT + 2 * REAL * static_cast<std::size_t>(N);
}

// The block-state values a block file must hold to be usable for J.
bool plausibleBlock(const int* rec, int J, int& N, int& d, int& nvv, int& ntop) {
  N = rec[0];
  d = rec[1];
  nvv = rec[2];
  ntop = rec[12];
  if (N < 0 || N > DIMBLOCK) return false;
  if (d != 2 * J + 1 || d > DIM2J1 || nvv < 1 || nvv > DIMVKEEP || ntop < 0 || ntop > DIMTOP)
    return false;
  return N == 0 || N == d * nvv;
}

// The basis rows must be the K values of the block and one-top states.
bool plausibleBasis(const std::int32_t* raw, int N, int J) {
  for (int p = 0; p < N; ++p) {
    const std::int32_t* r = raw + 4 * p;
    if (r[0] < -J || r[0] > J) return false;
    for (int t = 1; t <= DIMTOP; ++t)
      if (r[t] < -1 || r[t] > DIMM) return false;
  }
  return true;
}

void unreadable(RunState& rs, const char* who, const std::string& name) {
  *rs.io.err << ' ' << who << ": scratch file " << name
             << " is missing, short or does not fit its block\n";
  ++rs.problems;
}

} // namespace

// ------------------------------------------------------------------- names

// Names come back from fmt with their record end; strip it.
static std::string bare(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string blockFileName(int J, int S, int F2, int B) {
  // the name has two digits for J, S and F (three for a J or 2F of 100 or
  // more) and one for B
  if (J < 0 || J > 999 || S < 0 || S > 99 || B < 0 || B > 9 || F2 > 999) return {};
  const auto digits = [](int n) {
    return n < 100 ? fmtI(n / 10, 1) + fmtI(n % 10, 1) : fmtI(n, 3);
  };
  std::string name = "j" + digits(J);
  if (F2 >= 0) name += "f" + digits(F2);
  return name + "b" + fmtI(B, 1) + ".s" + digits(S);
}

std::string torsionalFileName(int B) {
  if (B < 0 || B > 9) return {};
  return bare(fmt("(A,I1)", {"tori.b", B}));
}

int nextScratchUnit(int& counter) {
  counter = counter <= 50 ? counter + 1 : 11;
  return counter;
}

// ----------------------------------------------------------------- writing

void writeBlockEigenvectors(RunState& rs, const SweepWork& sw, int J, int S, int F2, int B) {
  const std::string name = bare(blockFileName(J, S, F2, B));
  std::ostream& out = *rs.io.out;
  if (name.empty()) {
    *rs.io.err << " wrvec: no scratch-file name for J, S, 2F, B = " << J << ' ' << S << ' ' << F2
               << ' ' << B << " (J, 2F must lie in 0..999, S in 0..99, B in 0..9)\n";
    return;
  }
  if (hasBit(rs.ctl.aprint, aprintbit::BLOCK_LIST)) putFree(out, {" Writing ", name});
  nextScratchUnit(rs.fileUnit);

  const int N = sw.blk.N;
  if (N > DIMBLOCK) {
    *rs.io.err << " wrvec: block dimension " << N << " too large for " << name << '\n';
    ++rs.problems;
    return;
  }
  RecordWriter w(rs.scratch, name, *rs.io.err);
  // the records with their two length words each: block state, basis rows,
  // one per level
  const std::size_t mark = 2 * sizeof(std::uint32_t);
  const std::size_t levels = static_cast<std::size_t>(N > 0 ? N : 0);
  w.reserve(mark + NBLOCKREC * INT + mark + 4 * INT * levels +
            levels * (mark + levelRecordBytes(N)));
  // record 1: block state
  int rec[NBLOCKREC];
  sw.blk.toRecord(rec);
  w.begin(NBLOCKREC * INT);
  w.raw(rec, NBLOCKREC * INT);
  w.end();
  // record 2: basis rows (K, state of top 1, 2, 3)
  w.begin(4 * INT * static_cast<std::size_t>(N > 0 ? N : 0));
  for (int p = 1; p <= N; ++p) {
    const BasisRow& row = sw.basis[p];
    const std::int32_t r[4] = {row.K, row.v[1], row.v[2], row.v[3]};
    w.raw(r, sizeof r);
  }
  w.end();
  // records 2 + l: energy, labels and eigenvector of level l
  double pairs[2 * DIMBLOCK];
  for (int l = 1; l <= N; ++l) {
    std::int32_t lab[NFILELABEL] = {};
    for (int c = 1; c <= NLABEL; ++c) lab[c - 1] = sw.labels[l][c];
    const double* zr = sw.Zr.data() + static_cast<std::size_t>(l - 1) * sw.ld;
    const double* zi = sw.Zi.data() + static_cast<std::size_t>(l - 1) * sw.ld;
    for (int r = 0; r < N; ++r) {
      pairs[2 * r] = zr[r];
      pairs[2 * r + 1] = zi[r];
    }
    w.begin(levelRecordBytes(N));
    w.raw(&sw.E[l - 1], REAL);
    w.raw(lab, sizeof lab);
    w.raw(pairs, 2 * REAL * N);
    w.end();
  }
  if (!w.close()) {
    putFree(out, {"wrvec Error iostat", w.status(), J, S, F2, B, name});
    *rs.io.err << " wrvec: writing " << name << " failed (" << std::strerror(w.status())
               << "); line strengths that need this block are marked -97\n";
    ++rs.problems;
  }
}

void writeTorsionalIntegrals(RunState& rs, const SweepWork& sw, int B) {
  const std::string name = bare(torsionalFileName(B));
  std::ostream& out = *rs.io.out;
  if (name.empty()) {
    *rs.io.err << " wrtori: no scratch-file name for B = " << B << '\n';
    return;
  }
  if (hasBit(rs.ctl.aprint, aprintbit::BLOCK_LIST)) putFree(out, {" Writing ", name});
  nextScratchUnit(rs.fileUnit);

  const BlockState& blk = sw.blk;
  const int ntop = blk.ntop < 0 ? 0 : (blk.ntop > DIMTOP ? DIMTOP : blk.ntop);
  const int nsym = rs.species.nsym < 0 ? 0 : (rs.species.nsym > DIMSYM ? DIMSYM : rs.species.nsym);
  const int maxJ = std::clamp(blk.maxJ, 0, sw.tors.maxJ);
  RecordWriter w(rs.scratch, name, *rs.io.err);
  int rec[NBLOCKREC];
  blk.toRecord(rec);
  w.begin(NBLOCKREC * INT);
  w.raw(rec, NBLOCKREC * INT);
  w.end();
  // the symmetry number of every species for every top
  w.begin(INT * static_cast<std::size_t>(nsym * ntop));
  for (int s = 1; s <= nsym; ++s)
    for (int t = 1; t <= ntop; ++t) {
      const std::int32_t sigma = rs.species.sigma[s][t];
      w.raw(&sigma, INT);
    }
  w.end();
  // the torsional integrals, one per record
  TorsionTables& tors = const_cast<TorsionTables&>(sw.tors);
  for (int t = 1; t <= ntop; ++t) {
    const int nV = blk.nV[t] < 0 ? 0 : (blk.nV[t] > tors.nvs ? tors.nvs : blk.nV[t]);
    for (int s = 1; s <= nsym; ++s) {
      const int sigma = rs.species.sigma[s][t];
      if (sigma < -DIMSIG || sigma > DIMSIG) continue;
      for (int v = 1; v <= nV; ++v)
        for (int K = -maxJ; K <= maxJ; ++K)
          for (int vp = 1; vp <= nV; ++vp)
            for (int Kp = -maxJ; Kp <= maxJ; ++Kp) {
              const double x = tors.T(K, Kp, v, vp, sigma, t);
              w.begin(REAL);
              w.raw(&x, REAL);
              w.end();
            }
    }
  }
  if (!w.close()) {
    putFree(out, {"wrtori Error iostat", w.status(), B, name});
    *rs.io.err << " wrtori: writing " << name << " failed (" << std::strerror(w.status())
               << "); the intensity listing of this set is left out\n";
    ++rs.problems;
  }
}

// ----------------------------------------------------------------- reading

void StoredBlock::allocate() {
  // the eigenvectors take memory only where a block is read into them
  basis.assign(DIMBLOCK, {});
  re = ZeroedVector<double>(static_cast<std::size_t>(DIMBLOCK) * DIMBLOCK);
  im = ZeroedVector<double>(static_cast<std::size_t>(DIMBLOCK) * DIMBLOCK);
  energy.assign(DIMBLOCK, 0.0);
  labels.assign(DIMBLOCK + 1, {});
}

// Records 1 and 2 of a block file into rec/basis; false when they do not
// describe a block of this J.
template <class BasisOut>
static bool readHead(RecordReader& in, int J, std::array<int, NBLOCKREC>& rec, int& N, int& d,
                     int& nvv, int& ntop, BasisOut&& basisAt) {
  std::int32_t raw[NBLOCKREC];
  if (!in.read(raw, sizeof raw)) return false;
  for (int i = 0; i < NBLOCKREC; ++i) rec[i] = raw[i];
  if (!plausibleBlock(rec.data(), J, N, d, nvv, ntop)) return false;
  std::int32_t rows[4 * DIMBLOCK];
  if (!in.read(rows, 4 * INT * static_cast<std::size_t>(N))) return false;
  if (!plausibleBasis(rows, N, J)) return false;
  for (int p = 0; p < N; ++p) {
    BasisRow& row = basisAt(p);
    row.K = rows[4 * p];
    row.v[0] = 0;
    for (int t = 1; t <= DIMTOP; ++t) row.v[t] = rows[4 * p + t];
  }
  return true;
}

ScratchRead readLevelEigenvector(RunState& rs, int J, int T, int S, int F2, int B,
                                 StoredLevel& lv) {
  const std::string name = bare(blockFileName(J, S, F2, B));
  nextScratchUnit(rs.fileUnit);
  RecordReader in(rs.scratch, name);
  if (!readHead(in, J, lv.rec, lv.N, lv.d, lv.nvv, lv.ntop,
                [&](int p) -> BasisRow& { return lv.basis[p]; })) {
    unreadable(rs, "rdvec", name.empty() ? std::string("(no name)") : name);
    return ScratchRead::unreadable;
  }
  const int N = lv.N;
  // the levels one after another until the one of rank T; the others are
  // skipped without being read
  for (int l = 1; l <= N; ++l) {
    if (!in.begin(levelRecordBytes(N))) break;
    double energy = 0.0;
    std::int32_t lab[NFILELABEL];
    if (!in.piece(&energy, REAL) || !in.piece(lab, sizeof lab)) break;
    if (lab[7] != T) {
      // rest of the record: the eigenvector
      double skipBuf[2 * DIMBLOCK];
      if (!in.piece(skipBuf, 2 * REAL * N) || !in.end()) break;
      continue;
    }
    double pairs[2 * DIMBLOCK];
    if (!in.piece(pairs, 2 * REAL * N) || !in.end()) break;
    lv.energy = energy;
    lv.labels[0] = 0;
    for (int c = 1; c <= NFILELABEL; ++c) lv.labels[c] = lab[c - 1];
    for (int r = 0; r < N; ++r) {
      lv.re[r] = pairs[2 * r];
      lv.im[r] = pairs[2 * r + 1];
    }
    return ScratchRead::ok;
  }
  if (!in.ok()) {
    unreadable(rs, "rdvec", name);
    return ScratchRead::unreadable;
  }
  pause(rs.io, "eigenvector not found");
  return ScratchRead::notFound;
}

bool hasBlockFile(const RunState& rs, int J, int S, int F2, int B) {
  const std::string name = bare(blockFileName(J, S, F2, B));
  if (name.empty()) return false;
  if (rs.scratch.inMemory(name)) return true;
  const int fd = rs.scratch.open(name);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool readBlockEigenvectorsQuietly(const ScratchDir& dir, int J, int S, int F2, int B,
                                  StoredBlock& blk, std::string* nameRead) {
  const std::string name = bare(blockFileName(J, S, F2, B));
  if (nameRead) *nameRead = name;
  RecordReader in(dir, name);
  if (!readHead(in, J, blk.rec, blk.N, blk.d, blk.nvv, blk.ntop,
                [&](int p) -> BasisRow& { return blk.basis[p]; }))
    return false;
  const int N = blk.N;
  blk.ld = std::max(N, 1);
  double pairs[2 * DIMBLOCK];
  for (int l = 1; l <= N; ++l) {
    std::int32_t lab[NFILELABEL];
    double energy = 0.0;
    if (!in.begin(levelRecordBytes(N)) || !in.piece(&energy, REAL) || !in.piece(lab, sizeof lab) ||
        !in.piece(pairs, 2 * REAL * N) || !in.end())
      return false;
    blk.energy[l - 1] = energy;
    blk.labels[l][0] = 0;
    for (int c = 1; c <= NFILELABEL; ++c) blk.labels[l][c] = lab[c - 1];
    double* zr = blk.re.data() + static_cast<std::size_t>(l - 1) * blk.ld;
    double* zi = blk.im.data() + static_cast<std::size_t>(l - 1) * blk.ld;
    for (int r = 0; r < N; ++r) {
      zr[r] = pairs[2 * r];
      zi[r] = pairs[2 * r + 1];
    }
  }
  return true;
}

ScratchRead readBlockEigenvectors(RunState& rs, int J, int S, int F2, int B, StoredBlock& blk) {
  nextScratchUnit(rs.fileUnit);
  std::string name;
  if (readBlockEigenvectorsQuietly(rs.scratch, J, S, F2, B, blk, &name)) return ScratchRead::ok;
  unreadable(rs, "rdmat", name.empty() ? std::string("(no name)") : name);
  return ScratchRead::unreadable;
}

ScratchRead readTorsionalIntegrals(RunState& rs, SweepWork& sw, int B) {
  const std::string name = bare(torsionalFileName(B));
  if (hasBit(rs.ctl.aprint, aprintbit::BLOCK_LIST)) putFree(*rs.io.out, {" Reading Tori ", name});
  nextScratchUnit(rs.fileUnit);
  RecordReader in(rs.scratch, name);
  auto fail = [&] {
    unreadable(rs, "rdtori", name.empty() ? std::string("(no name)") : name);
    return ScratchRead::unreadable;
  };
  std::int32_t raw[NBLOCKREC];
  if (!in.read(raw, sizeof raw)) return fail();
  int rec[NBLOCKREC];
  for (int i = 0; i < NBLOCKREC; ++i) rec[i] = raw[i];
  BlockState st;
  st.fromRecord(rec);
  // the integrals must fit the tables they are read into
  if (st.maxJ < 0 || st.maxJ > DIMJ || st.maxJ > sw.tors.maxJ || st.nsym < 0 || st.nsym > DIMSYM ||
      st.ntop < 0 || st.ntop > DIMTOP || st.ntop > sw.tors.ntops || st.nvv < 1 || st.nvv > DIMVKEEP)
    return fail();
  for (int t = 1; t <= st.ntop; ++t)
    if (st.nV[t] < 1 || st.nV[t] > sw.tors.nvs || st.firstV[t] < 1) return fail();
  // the symmetry numbers of every species and top
  std::int32_t sig[DIMSYM * DIMTOP];
  if (!in.read(sig, INT * static_cast<std::size_t>(st.nsym * st.ntop))) return fail();
  for (int i = 0; i < st.nsym * st.ntop; ++i)
    if (sig[i] < -DIMSIG || sig[i] > DIMSIG) return fail();

  // the file fits: the set's block state and symmetry numbers become live
  sw.blk.fromRecord(rec);
  for (int s = 1; s <= st.nsym; ++s)
    for (int t = 1; t <= st.ntop; ++t) rs.species.sigma[s][t] = sig[(s - 1) * st.ntop + (t - 1)];
  TorsionTables& tors = sw.tors;
  for (int t = 1; t <= st.ntop; ++t) {
    tors.firstV[t] = st.firstV[t];
    tors.nV[t] = st.nV[t];
  }
  const int maxJ = st.maxJ;
  for (int t = 1; t <= st.ntop; ++t) {
    const int nV = st.nV[t];
    for (int s = 1; s <= st.nsym; ++s) {
      const int sigma = rs.species.sigma[s][t];
      for (int v = 1; v <= nV; ++v)
        for (int K = -maxJ; K <= maxJ; ++K)
          for (int vp = 1; vp <= nV; ++vp)
            for (int Kp = -maxJ; Kp <= maxJ; ++Kp) {
              double x = 0.0;
              if (!in.read(&x, REAL)) return fail();
              tors.T(K, Kp, v, vp, sigma, t) = x;
            }
    }
  }
  return ScratchRead::ok;
}

} // namespace ruvo
