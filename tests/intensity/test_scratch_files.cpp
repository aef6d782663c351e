// Scratch files: names, file numbers, the records written and read back,
// and files that are missing, short, foreign or cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "core/stop.h"
#include "intensity/scratch_files.h"
#include "rigid_blocks.h"
#include "support/test_support.h"

using namespace ruvo;
using namespace ruvo::inttest;
namespace fs = std::filesystem;

namespace {
// Path of a scratch file in the private directory of the fixture's run.
std::string at(const Fixture& f, const std::string& name) {
  return f.rs->scratch.path() + "/" + name;
}
} // namespace

TEST(ScratchFiles, NamesFromTheBlockKey) {
  EXPECT_EQ(blockFileName(5, 2, 3, 1), "j05f03b1.s02");
  EXPECT_EQ(blockFileName(5, 2, -1, 1), "j05b1.s02");
  EXPECT_EQ(blockFileName(12, 0, -1, 2), "j12b2.s00");
  EXPECT_EQ(blockFileName(99, 99, 99, 9), "j99f99b9.s99");
  EXPECT_EQ(blockFileName(0, 0, 0, 0), "j00f00b0.s00");
  // numbers that do not fit the name give no name (never a wrong file)
  EXPECT_EQ(blockFileName(100, 0, -1, 1), "j100b1.s00"); // J above 99: three digits
  EXPECT_EQ(blockFileName(150, 1, 301, 1), "j150f301b1.s01");
  EXPECT_EQ(blockFileName(1000, 0, -1, 1), "");
  EXPECT_EQ(blockFileName(-1, 0, -1, 1), "");
  EXPECT_EQ(blockFileName(3, 100, -1, 1), "");
  EXPECT_EQ(blockFileName(3, 0, 1000, 1), "");
  EXPECT_EQ(blockFileName(3, 0, -1, 10), "");
  EXPECT_EQ(torsionalFileName(1), "tori.b1");
  EXPECT_EQ(torsionalFileName(10), "");
}

TEST(ScratchFiles, FileNumbersRunFrom11To51) {
  int counter = 10;
  for (int i = 1; i <= 41; ++i) EXPECT_EQ(nextScratchUnit(counter), 10 + i);
  EXPECT_EQ(nextScratchUnit(counter), 11);
  EXPECT_EQ(nextScratchUnit(counter), 12);
}

// A complex block (two torsional product states) written and read back
// whole and level by level.
TEST(ScratchFiles, BlockRoundTrip) {
  test::ScopedWorkDir dir("scratch_roundtrip");
  Fixture f;
  SweepWork& sw = *f.sw;
  const int J = 2, d = 5, nvv = 2, N = d * nvv;
  setBlock(sw, J, 4, 1, 2);
  sw.blk.nvv = nvv;
  sw.blk.N = N;
  sw.blk.woods = 53;
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int p = 1; p <= N; ++p) {
    sw.basis[p].K = (p - 1) % d - J;
    sw.basis[p].v[1] = (p - 1) / d + 1;
  }
  for (int l = 1; l <= N; ++l) {
    sw.E[l - 1] = 10.0 * l + u(gen);
    for (int c = 1; c <= NLABEL; ++c) sw.labels[l][c] = 100 * l + c;
    sw.labels[l][8] = N + 1 - l; // ranks in reverse order
    for (int r = 0; r < N; ++r) {
      sw.Zr[r + (l - 1) * DIMTOT] = u(gen);
      sw.Zi[r + (l - 1) * DIMTOT] = u(gen);
    }
  }
  f.rs->ctl.aprint = 1024;
  writeBlockEigenvectors(*f.rs, sw, J, 1, 3, 2);
  EXPECT_EQ(f.out.str(), "  Writing j02f03b2.s01\n");
  EXPECT_TRUE(fs::exists(at(f, "j02f03b2.s01")));

  StoredBlock blk;
  blk.allocate();
  ASSERT_EQ(readBlockEigenvectors(*f.rs, J, 1, 3, 2, blk), ScratchRead::ok);
  EXPECT_EQ(blk.N, N);
  EXPECT_EQ(blk.d, d);
  EXPECT_EQ(blk.nvv, nvv);
  EXPECT_EQ(blk.ntop, 1);
  EXPECT_EQ(blk.rec[13], 53);
  EXPECT_EQ(blk.rec[3], 4);
  for (int p = 1; p <= N; ++p) {
    EXPECT_EQ(blk.basis[p - 1].K, sw.basis[p].K);
    EXPECT_EQ(blk.basis[p - 1].v[1], sw.basis[p].v[1]);
  }
  for (int l = 1; l <= N; ++l) {
    EXPECT_EQ(blk.energy[l - 1], sw.E[l - 1]);
    for (int c = 1; c <= NLABEL; ++c) EXPECT_EQ(blk.labels[l][c], sw.labels[l][c]);
    for (int r = 0; r < N; ++r) {
      EXPECT_EQ(blk.re[r + (l - 1) * blk.ld], sw.Zr[r + (l - 1) * DIMTOT]);
      EXPECT_EQ(blk.im[r + (l - 1) * blk.ld], sw.Zi[r + (l - 1) * DIMTOT]);
    }
  }
  // one level by its rank T
  StoredLevel lv;
  ASSERT_EQ(readLevelEigenvector(*f.rs, J, 3, 1, 3, 2, lv), ScratchRead::ok);
  const int l = N + 1 - 3;
  EXPECT_EQ(lv.labels[8], 3);
  EXPECT_EQ(lv.energy, sw.E[l - 1]);
  for (int r = 0; r < N; ++r) {
    EXPECT_EQ(lv.re[r], sw.Zr[r + (l - 1) * DIMTOT]);
    EXPECT_EQ(lv.im[r], sw.Zi[r + (l - 1) * DIMTOT]);
  }
  EXPECT_TRUE(f.err.str().empty()) << f.err.str();
}

// A block of dimension 1 gives a file of three records.
TEST(ScratchFiles, BlockOfDimensionOneHasThreeRecords) {
  test::ScopedWorkDir dir("scratch_dim1");
  Fixture f;
  rigidBlock(*f.sw, 0, 0, 3.0, 2.0, 5.0);
  writeBlockEigenvectors(*f.rs, *f.sw, 0, 0, -1, 1);
  const std::size_t frame = 8;
  const std::size_t expected = (frame + 39 * 4) + (frame + 4 * 4) + (frame + 8 + 14 * 4 + 16);
  EXPECT_EQ(fs::file_size(at(f, "j00b1.s00")), expected);
}

// A level that is not in its file pauses with "eigenvector not found";
// "go" goes on without a level, anything else ends the run.
TEST(ScratchFiles, MissingLevelPauses) {
  test::ScopedWorkDir dir("scratch_notfound");
  Fixture f("go\nstop\n");
  rigidBlock(*f.sw, 1, 1, 3.0, 2.0, 5.0);
  writeBlockEigenvectors(*f.rs, *f.sw, 1, 0, -1, 1);
  StoredLevel lv;
  EXPECT_EQ(readLevelEigenvector(*f.rs, 1, 4, 0, -1, 1, lv), ScratchRead::notFound);
  EXPECT_EQ(f.err.str(), "PAUSE eigenvector not found\nTo resume execution, type go.  Other "
                         "input will terminate the job.\nRESUMED\n");
  EXPECT_THROW(readLevelEigenvector(*f.rs, 1, 0, 0, -1, 1, lv), RunEnd);
}

// Missing, short, foreign and mismatched files are reported and never read
// past their end.
TEST(ScratchFiles, DamagedBlockFilesAreReported) {
  test::ScopedWorkDir dir("scratch_damaged");
  Fixture f;
  StoredLevel lv;
  StoredBlock blk;
  blk.allocate();
  auto reported = [&](const std::string& name) {
    const bool found = f.err.str().find(name + " is missing, short or does not fit its block") !=
                       std::string::npos;
    f.err.str("");
    return found;
  };
  // missing
  EXPECT_EQ(readLevelEigenvector(*f.rs, 3, 1, 0, -1, 1, lv), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));
  EXPECT_EQ(readBlockEigenvectors(*f.rs, 3, 0, -1, 1, blk), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));

  // short: the last level cut off in the middle
  rigidBlock(*f.sw, 3, 3, 3.0, 2.0, 5.0);
  writeBlockEigenvectors(*f.rs, *f.sw, 3, 0, -1, 1);
  fs::resize_file(at(f, "j03b1.s00"), fs::file_size(at(f, "j03b1.s00")) - 30);
  EXPECT_EQ(readBlockEigenvectors(*f.rs, 3, 0, -1, 1, blk), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));
  EXPECT_EQ(readLevelEigenvector(*f.rs, 3, 7, 0, -1, 1, lv), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));
  EXPECT_EQ(readLevelEigenvector(*f.rs, 3, 2, 0, -1, 1, lv),
            ScratchRead::ok); // levels before the cut

  // a block of another J under this name
  rigidBlock(*f.sw, 2, 3, 3.0, 2.0, 5.0);
  writeBlockEigenvectors(*f.rs, *f.sw, 2, 0, -1, 1);
  fs::rename(at(f, "j02b1.s00"), at(f, "j03b1.s00"));
  EXPECT_EQ(readLevelEigenvector(*f.rs, 3, 1, 0, -1, 1, lv), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));

  // foreign contents, and a block state with a dimension beyond the limits
  test::writeFile(at(f, "j03b1.s00"), "this is not a block file of this program\n");
  EXPECT_EQ(readBlockEigenvectors(*f.rs, 3, 0, -1, 1, blk), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));
  rigidBlock(*f.sw, 3, 3, 3.0, 2.0, 5.0);
  f.sw->blk.N = 1000;
  writeBlockEigenvectors(*f.rs, *f.sw, 3, 0, -1, 1); // refused: the block is larger than any block
  EXPECT_NE(f.err.str().find("block dimension"), std::string::npos);
  f.err.str("");
  EXPECT_EQ(readBlockEigenvectors(*f.rs, 3, 0, -1, 1, blk), ScratchRead::unreadable);
  EXPECT_TRUE(reported("j03b1.s00"));
}

// A file that cannot be written is reported in the listing and on standard
// error; the run goes on.  A block key that makes no name writes nothing.
TEST(ScratchFiles, FailedWritesAreReported) {
  test::ScopedWorkDir dir("scratch_nowrite");
  Fixture f;
  ASSERT_TRUE(f.rs->scratch.ensure(f.err));
  fs::create_directory(at(f, "j01b1.s00")); // a directory where the file should go
  rigidBlock(*f.sw, 1, 1, 3.0, 2.0, 5.0);
  writeBlockEigenvectors(*f.rs, *f.sw, 1, 0, -1, 1);
  EXPECT_EQ(f.out.str().rfind(" wrvec Error iostat", 0), 0u) << f.out.str();
  EXPECT_NE(f.out.str().find("j01b1.s00"), std::string::npos);
  EXPECT_NE(f.err.str().find("wrvec: writing j01b1.s00 failed"), std::string::npos) << f.err.str();
  EXPECT_NE(f.err.str().find("marked -97"), std::string::npos);

  f.err.str("");
  writeBlockEigenvectors(*f.rs, *f.sw, 1, 0, -1, 12);
  EXPECT_NE(f.err.str().find("wrvec: no scratch-file name"), std::string::npos);
}

// Torsional integrals of one set written and read back in a fresh run
// state: the block state and the symmetry numbers come with them.
TEST(ScratchFiles, TorsionalIntegralsRoundTrip) {
  test::ScopedWorkDir dir("scratch_tori");
  Fixture a;
  const int maxJ = 3;
  a.rs->species.nsym = 2;
  a.rs->species.sigma[1][1] = 0;
  a.rs->species.sigma[2][1] = 1;
  a.sw->blk.maxJ = maxJ;
  a.sw->blk.ntop = 1;
  a.sw->blk.nsym = 2;
  a.sw->blk.nvv = 2;
  a.sw->blk.firstV[1] = 1;
  a.sw->blk.nV[1] = 2;
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int sigma : {0, 1})
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int Kp = -maxJ; Kp <= maxJ; ++Kp)
        for (int v = 1; v <= 2; ++v)
          for (int vp = 1; vp <= 2; ++vp) a.sw->tors.T(K, Kp, v, vp, sigma, 1) = u(gen);
  a.rs->ctl.aprint = 1024;
  writeTorsionalIntegrals(*a.rs, *a.sw, 1);
  EXPECT_EQ(a.out.str(), "  Writing tori.b1\n");
  // records: block state, symmetry numbers, 2 species * (2*7)^2 integrals
  EXPECT_EQ(fs::file_size(at(a, "tori.b1")), (8 + 39 * 4) + (8 + 2 * 4) + 2 * 14 * 14 * (8 + 8));

  // read into fresh sweep storage, with the symmetry numbers forgotten
  Fixture b;
  a.rs->species.sigma = {};
  a.out.str("");
  ASSERT_EQ(readTorsionalIntegrals(*a.rs, *b.sw, 1), ScratchRead::ok);
  EXPECT_EQ(a.out.str(), "  Reading Tori tori.b1\n");
  EXPECT_EQ(b.sw->blk.maxJ, maxJ);
  EXPECT_EQ(b.sw->blk.nvv, 2);
  EXPECT_EQ(b.sw->blk.nV[1], 2);
  EXPECT_EQ(b.sw->tors.nV[1], 2);
  EXPECT_EQ(a.rs->species.sigma[2][1], 1);
  for (int sigma : {0, 1})
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int Kp = -maxJ; Kp <= maxJ; ++Kp)
        for (int v = 1; v <= 2; ++v)
          for (int vp = 1; vp <= 2; ++vp)
            ASSERT_EQ(b.sw->tors.T(K, Kp, v, vp, sigma, 1), a.sw->tors.T(K, Kp, v, vp, sigma, 1));

  // a short file is reported; so is a missing one
  fs::resize_file(at(a, "tori.b1"), fs::file_size(at(a, "tori.b1")) - 8);
  EXPECT_EQ(readTorsionalIntegrals(*a.rs, *b.sw, 1), ScratchRead::unreadable);
  EXPECT_NE(a.err.str().find("tori.b1 is missing, short"), std::string::npos);
  EXPECT_EQ(readTorsionalIntegrals(*a.rs, *b.sw, 2), ScratchRead::unreadable);
  EXPECT_NE(a.err.str().find("tori.b2 is missing, short"), std::string::npos);
}

// Block and torsional files with bytes changed at random places are read
// without ever leaving their records: each read ends in a level, a report or
// the not-found pause, and a level that comes back has labels from the file.
TEST(ScratchFiles, CorruptedFilesNeverCrashTheReader) {
  test::ScopedWorkDir dir("scratch_corrupt");
  Fixture f;
  std::string answers;
  for (int i = 0; i < 400; ++i) answers += "go\n";
  f.in.str(answers);
  rigidBlock(*f.sw, 2, 2, 3.0, 2.0, 5.0);
  writeBlockEigenvectors(*f.rs, *f.sw, 2, 0, -1, 1);
  f.sw->blk.ntop = 1;
  f.sw->blk.nV[1] = 1;
  f.sw->blk.firstV[1] = 1;
  f.rs->species.nsym = 1;
  writeTorsionalIntegrals(*f.rs, *f.sw, 1);
  const std::string block = test::readFile(at(f, "j02b1.s00")),
                    tori = test::readFile(at(f, "tori.b1"));
  ASSERT_FALSE(block.empty());
  std::mt19937 gen(11);
  StoredLevel lv;
  StoredBlock blk;
  blk.allocate();
  for (int trial = 0; trial < 150; ++trial) {
    for (const std::string* original : {&block, &tori}) {
      std::string bytes = *original;
      std::uniform_int_distribution<std::size_t> at(0, bytes.size() - 1);
      for (int k = 0; k < 3; ++k) bytes[at(gen)] = static_cast<char>(gen());
      if (trial % 3 == 0) bytes.resize(at(gen));
      test::writeFile(::at(f, original == &block ? "j02b1.s00" : "tori.b1"), bytes);
    }
    if (readLevelEigenvector(*f.rs, 2, 1 + trial % 5, 0, -1, 1, lv) == ScratchRead::ok) {
      EXPECT_EQ(lv.labels[8], 1 + trial % 5);
    }
    readBlockEigenvectors(*f.rs, 2, 0, -1, 1, blk);
    readTorsionalIntegrals(*f.rs, *f.sw, 1);
  }
}
