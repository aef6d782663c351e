// Line strengths of the rigid rotor against the closed forms and the sum
// rule, the torsional overlap, and the marks of lines without a strength.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "core/stop.h"
#include "intensity/line_strength.h"
#include "rigid_blocks.h"
#include "support/test_support.h"

using namespace ruvo;
using namespace ruvo::inttest;

namespace {

struct Dipole {
  double x, y, z;
  double norm2() const { return x * x + y * y + z * z; }
};
const std::array<Dipole, 4> kDipoles = {
    {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}, {0.7, -1.3, 0.45}}};

// Blocks J = 0..maxJ of one rigid rotor, written and read back.
struct RigidSet {
  Fixture f;
  test::ScopedWorkDir dir;
  std::vector<std::unique_ptr<StoredBlock>> blocks;
  RigidSet(const std::string& name, int maxJ, double Bx, double By, double Bz, double phase)
      : dir(name) {
    for (int J = 0; J <= maxJ; ++J) {
      rigidBlock(*f.sw, J, maxJ, Bx, By, Bz, phase);
      writeBlockEigenvectors(*f.rs, *f.sw, J, 0, -1, 1);
      blocks.push_back(std::make_unique<StoredBlock>());
      blocks.back()->allocate();
      EXPECT_EQ(readBlockEigenvectors(*f.rs, J, 0, -1, 1, *blocks.back()), ScratchRead::ok);
    }
  }
  const StoredBlock& b(int J) const { return *blocks[J]; }
  // strength between level l of J (first for Delta J = 0) and level lp of Jp
  double S(int J, int l, int Jp, int lp, const Dipole& mu) {
    if (Jp == J)
      return lineStrengthSameJ(*f.rs, f.sw->tors, J, J, 0, mu.z, mu.x, mu.y, levelRef(b(J), l),
                               levelRef(b(J), lp));
    if (Jp == J + 1)
      return lineStrengthJPlusOne(*f.rs, f.sw->tors, Jp, J, 0, mu.z, mu.x, mu.y,
                                  levelRef(b(Jp), lp), levelRef(b(J), l));
    return lineStrengthJPlusOne(*f.rs, f.sw->tors, J, Jp, 0, mu.z, mu.x, mu.y, levelRef(b(J), l),
                                levelRef(b(Jp), lp));
  }
};

} // namespace

// Summed over every final level (J-1, J and J+1), the strengths of the lines
// of one level are <tau| mu^2 |tau> summed over M: (2J+1) |mu|^2.  This fixes
// the normalisation of lineStrengthSameJ and lineStrengthJPlusOne against each other and against
// the standard S, for each dipole component alone and all together.
TEST(LineStrength, SumRuleOfTheAsymmetricRotor) {
  const int maxJ = 6;
  RigidSet set("sumrule", maxJ, 3.9, 3.4, 6.15, 0.37);
  for (const Dipole& mu : kDipoles)
    for (int J = 0; J < maxJ; ++J)
      for (int l = 1; l <= 2 * J + 1; ++l) {
        double sum = 0.0;
        for (int Jp = std::max(0, J - 1); Jp <= J + 1; ++Jp)
          for (int lp = 1; lp <= 2 * Jp + 1; ++lp) sum += set.S(J, l, Jp, lp, mu);
        EXPECT_NEAR(sum, (2 * J + 1) * mu.norm2(), 1e-10 * (2 * J + 1))
            << "J " << J << " level " << l << " mu " << mu.x << " " << mu.y << " " << mu.z;
      }
}

// From J = 0 each dipole component reaches exactly one level of J = 1, the
// one whose energy is the sum of the other two rotational constants, with
// strength mu^2; a ground-state pair J = 0 <-> 0 has none.
TEST(LineStrength, FromTheGroundLevelEachComponentReachesOneLevel) {
  const double Bx = 3.9, By = 3.4, Bz = 6.15;
  RigidSet set("ground", 1, Bx, By, Bz, 0.0);
  const std::array<double, 3> target = {Bz + By, Bz + Bx, Bx + By}; // via mu_x, mu_y, mu_z
  for (int c = 0; c < 3; ++c) {
    const Dipole& mu = kDipoles[c];
    for (int lp = 1; lp <= 3; ++lp) {
      const double E = set.b(1).energy[lp - 1];
      const double expected = std::fabs(E - target[c]) < 1e-9 ? 1.0 : 0.0;
      EXPECT_NEAR(set.S(0, 1, 1, lp, mu), expected, 1e-12) << "component " << c;
    }
    EXPECT_EQ(set.S(0, 1, 0, 1, mu), 0.0);
  }
}

// Lines forbidden by symmetry give 0: mu_z keeps K, mu_x and mu_y change it
// by one, so mu_z connects only levels of the same K parity and mu_x, mu_y
// only levels of different parity.  The strengths do not depend on the
// phases of the eigenvectors.
TEST(LineStrength, ForbiddenLinesOfTheRigidRotorAndPhaseFreedom) {
  const int maxJ = 4;
  RigidSet a("forbid_a", maxJ, 3.9, 3.4, 6.15, 0.0);
  RigidSet b("forbid_b", maxJ, 3.9, 3.4, 6.15, 1.91);
  auto parity = [&](int J, int l) { return ((a.b(J).labels[l][2] % 2) + 2) % 2; };
  for (const Dipole& mu : kDipoles)
    for (int J = 0; J < maxJ; ++J)
      for (int l = 1; l <= 2 * J + 1; ++l)
        for (int Jp = J; Jp <= J + 1; ++Jp)
          for (int lp = 1; lp <= 2 * Jp + 1; ++lp) {
            const double s = a.S(J, l, Jp, lp, mu);
            EXPECT_NEAR(b.S(J, l, Jp, lp, mu), s, 1e-11);
            const bool sameParity = parity(J, l) == parity(Jp, lp);
            if (mu.x == 0.0 && mu.y == 0.0 && !sameParity) {
              EXPECT_NEAR(s, 0.0, 1e-24);
            }
            if (mu.z == 0.0 && sameParity) {
              EXPECT_NEAR(s, 0.0, 1e-24);
            }
          }
}

// Symmetric top (Bx = By), dipole along z, pure |J K> levels:
// R branch J -> J+1: ((J+1)^2 - K^2) / (J+1) mu^2; Q branch between the two
// Wang combinations (|K> +- |-K>)/sqrt 2: K^2 (2J+1) / (J (J+1)) mu^2.
TEST(LineStrength, SymmetricTopLimits) {
  Fixture f;
  test::ScopedWorkDir dir("symtop");
  const double mu = 1.7;
  StoredLevel lo, hi, plus, minus;
  auto pure = [](StoredLevel& lv, int J, int K) {
    lv.N = lv.d = 2 * J + 1;
    lv.nvv = 1;
    lv.ntop = 0;
    for (int p = 0; p < lv.N; ++p) {
      lv.basis[p].K = p - J;
      lv.re[p] = lv.im[p] = 0.0;
    }
    lv.re[K + J] = 1.0;
  };
  for (int J = 0; J <= 6; ++J)
    for (int K = -J; K <= J; ++K) {
      pure(lo, J, K);
      pure(hi, J + 1, K);
      const double R = lineStrengthJPlusOne(*f.rs, f.sw->tors, J + 1, J, 0, mu, 0.0, 0.0,
                                            levelRef(hi), levelRef(lo));
      EXPECT_NEAR(R, ((J + 1.0) * (J + 1.0) - K * K) / (J + 1.0) * mu * mu, 1e-12);
      if (J == 0 || K <= 0) continue;
      pure(plus, J, K);
      pure(minus, J, K);
      plus.re[K + J] = minus.re[K + J] = std::sqrt(0.5);
      plus.re[-K + J] = std::sqrt(0.5);
      minus.re[-K + J] = -std::sqrt(0.5);
      const double Q = lineStrengthSameJ(*f.rs, f.sw->tors, J, J, 0, mu, 0.0, 0.0, levelRef(plus),
                                         levelRef(minus));
      EXPECT_NEAR(Q, K * K * (2.0 * J + 1.0) / (J * (J + 1.0)) * mu * mu, 1e-12);
    }
}

// With a top the Delta K = +-1 amplitudes carry the torsional overlap of the
// two K; the Delta K = 0 amplitudes do not.  A constant overlap c between
// different K scales the perpendicular strengths by c^2 and leaves the
// parallel ones alone.
TEST(LineStrength, TorsionalOverlapEntersThePerpendicularAmplitudes) {
  const int maxJ = 3;
  RigidSet rigid("ovl_rigid", maxJ, 3.9, 3.4, 6.15, 0.0);
  Fixture f;
  test::ScopedWorkDir dir("ovl_top");
  f.rs->species.nsym = 1;
  f.rs->species.sigma[1][1] = 1;
  f.sw->tors.firstV[1] = 1;
  f.sw->tors.nV[1] = 1;
  const double c = 0.6;
  for (int K = -maxJ; K <= maxJ; ++K)
    for (int Kp = -maxJ; Kp <= maxJ; ++Kp) f.sw->tors.T(K, Kp, 1, 1, 1, 1) = K == Kp ? 1.0 : c;
  std::vector<std::unique_ptr<StoredBlock>> top;
  for (int J = 0; J <= maxJ; ++J) {
    rigidBlock(*f.sw, J, maxJ, 3.9, 3.4, 6.15, 0.0, 1, 1);
    writeBlockEigenvectors(*f.rs, *f.sw, J, 1, -1, 1);
    top.push_back(std::make_unique<StoredBlock>());
    top.back()->allocate();
    ASSERT_EQ(readBlockEigenvectors(*f.rs, J, 1, -1, 1, *top.back()), ScratchRead::ok);
  }
  for (int comp = 0; comp < 3; ++comp) {
    const Dipole& mu = kDipoles[comp];
    const double scale = comp == 2 ? 1.0 : c * c;
    for (int J = 1; J < maxJ; ++J)
      for (int l = 1; l <= 2 * J + 1; ++l)
        for (int lp = 1; lp <= 2 * J + 3; ++lp) {
          const double t = lineStrengthJPlusOne(*f.rs, f.sw->tors, J + 1, J, 1, mu.z, mu.x, mu.y,
                                                levelRef(*top[J + 1], lp), levelRef(*top[J], l));
          EXPECT_NEAR(t, scale * rigid.S(J, l, J + 1, lp, mu), 1e-12);
          if (lp <= 2 * J + 1) {
            const double q = lineStrengthSameJ(*f.rs, f.sw->tors, J, J, 1, mu.z, mu.x, mu.y,
                                               levelRef(*top[J], l), levelRef(*top[J], lp));
            EXPECT_NEAR(q, scale * rigid.S(J, l, J, lp, mu), 1e-12);
          }
        }
  }
  // a basis state outside the window of the torsional tables: no strength
  f.sw->tors.nV[1] = 0;
  const double none = lineStrengthSameJ(*f.rs, f.sw->tors, 1, 1, 1, 1.0, 0.0, 0.0,
                                        levelRef(*top[1], 1), levelRef(*top[1], 2));
  EXPECT_EQ(none, STRENGTH_UNREADABLE);
  EXPECT_NE(f.err.str().find("marked -97"), std::string::npos);
}

// lineStrength: the strengths of listed lines from the block files; different
// species -99, |Delta J| >= 2 -98, a block file that is missing -97 with a
// message (never a strength that looks valid).
TEST(LineStrength, IntensOfListedLines) {
  const int maxJ = 3;
  RigidSet set("intens", maxJ, 3.9, 3.4, 6.15, 0.2);
  RunState& rs = *set.f.rs;
  auto line = [&](int i, int Ju, int Tu, int Jl, int Tl, int Su = 0, int Sl = 0) {
    auto& q = rs.tr.qn[i];
    q[UP][slot::J] = Ju, q[UP][slot::T] = Tu, q[UP][slot::S] = Su;
    q[LO][slot::J] = Jl, q[LO][slot::T] = Tl, q[LO][slot::S] = Sl;
    for (int e : {UP, LO}) q[e][slot::F] = -1, q[e][slot::B] = 1;
  };
  rs.tr.ndata = 7;
  line(1, 1, 2, 0, 1);
  line(2, 2, 3, 2, 1);
  line(3, 2, 1, 3, 5); // upper end with the smaller J
  line(4, 2, 1, 0, 1);
  line(5, 1, 1, 0, 1, 1, 0);
  line(6, 5, 1, 4, 1); // blocks never written
  line(7, 1, 1, 1, 1);
  const Dipole mu = kDipoles[3];
  auto I = [&](int i) { return lineStrength(rs, *set.f.sw, i, mu.x, mu.y, mu.z); };
  EXPECT_NEAR(I(1), set.S(0, 1, 1, 2, mu), 1e-14);
  EXPECT_NEAR(I(2), set.S(2, 3, 2, 1, mu), 1e-14);
  EXPECT_NEAR(I(3), set.S(2, 1, 3, 5, mu), 1e-14);
  EXPECT_GT(I(1) + I(2) + I(3), 0.1);
  EXPECT_EQ(I(4), STRENGTH_DJ_TOO_LARGE);
  EXPECT_EQ(I(5), STRENGTH_SPECIES_DIFFER);
  EXPECT_EQ(I(6), STRENGTH_UNREADABLE);
  EXPECT_NE(set.f.err.str().find("intens: line 6 has no line strength; marked -97"),
            std::string::npos)
      << set.f.err.str();
  EXPECT_NEAR(I(7), set.S(1, 1, 1, 1, mu), 1e-14);
}

// Inconsistent J values pause; an answer other than "go" ends the run, "go"
// leaves the pair without a valid strength.  Blocks whose K do not line up
// stop the run.
TEST(LineStrength, InternalInconsistenciesPauseOrStop) {
  Fixture f("go\nno\n");
  StoredLevel a, b;
  a.N = a.d = 3, a.nvv = 1;
  b.N = b.d = 3, b.nvv = 1;
  for (int p = 0; p < 3; ++p) a.basis[p].K = b.basis[p].K = p - 1;
  EXPECT_EQ(lineStrengthSameJ(*f.rs, f.sw->tors, 2, 1, 0, 1.0, 0.0, 0.0, levelRef(a), levelRef(b)),
            STRENGTH_UNREADABLE);
  EXPECT_NE(f.err.str().find("PAUSE CALIQ: intens error: jlo <> jup\n"
                             "To resume execution, type go.  Other input will terminate the "
                             "job.\nRESUMED\n"),
            std::string::npos)
      << f.err.str();
  EXPECT_THROW(
      lineStrengthJPlusOne(*f.rs, f.sw->tors, 1, 1, 0, 1.0, 0.0, 0.0, levelRef(a), levelRef(b)),
      RunEnd);
  EXPECT_NE(f.err.str().find("PAUSE CALIR: intens error: jlo+1 <> jup"), std::string::npos);

  // a J = 2 level whose K positions are shifted against the J = 1 level
  StoredLevel c;
  c.N = c.d = 5, c.nvv = 1;
  for (int p = 0; p < 5; ++p) c.basis[p].K = 2 - p;
  c.re[0] = 1.0;
  try {
    lineStrengthJPlusOne(*f.rs, f.sw->tors, 2, 1, 0, 1.0, 0.0, 0.0, levelRef(c), levelRef(b));
    ADD_FAILURE() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, "Error in CALIR : K numbers");
  }
}

// The strengths of all pairs of two blocks from couplings made once, without
// the terms that are zero for a pair, are those of the direct routines to
// the last bit: real and complex levels, components zeroed in patterns (as
// those of a Wang block at K of one parity) and in single places, each
// dipole component alone and all together.
TEST(LineStrength, PairsOfTwoBlocksAreTheDirectStrengthsToTheBit) {
  const int maxJ = 5;
  for (double phase : {0.0, 1.91}) {
    RigidSet set(phase == 0.0 ? "pairs_real" : "pairs_complex", maxJ, 3.9, 3.4, 6.15, phase);
    for (int J = 0; J <= maxJ; ++J) {
      StoredBlock& b = *set.blocks[J];
      for (int l = 1; l <= b.N; ++l)
        for (int p = 0; p < b.N; ++p) {
          double& re = b.re[p + (l - 1) * b.ld];
          double& im = b.im[p + (l - 1) * b.ld];
          if ((l % 3 == 0 && p % 2 == l % 2) || (l % 3 == 1 && p == l % b.N)) re = im = 0.0;
        }
    }
    for (const Dipole& mu : kDipoles)
      for (int J = 1; J <= maxJ; ++J)
        for (int Jp : {J, J - 1}) {
          const StoredBlock &u = set.b(J), &w = set.b(Jp);
          LevelSupports su, sv;
          su.describe(u.N, u.N, u.re.data(), u.im.data(), static_cast<std::size_t>(u.ld));
          sv.describe(w.N, w.N, w.re.data(), w.im.data(), static_cast<std::size_t>(w.ld));
          ASSERT_GE(su.masks.size(), 2u);
          DipoleCouplings c;
          RunState& rs = *set.f.rs;
          if (Jp == J)
            sameJCouplings(rs, set.f.sw->tors, J, J, 0, mu.z, mu.x, mu.y, levelRef(u, 1),
                           levelRef(w, 1), c);
          else
            jPlusOneCouplings(rs, set.f.sw->tors, J, Jp, 0, mu.z, mu.x, mu.y, levelRef(u, 1),
                              levelRef(w, 1), c);
          PairStrengths pairs;
          pairs.prepare(c, su, sv);
          for (int l = 1; l <= u.N; ++l)
            for (int lp = 1; lp <= w.N; ++lp) {
              const double direct =
                  Jp == J ? lineStrengthSameJ(rs, set.f.sw->tors, J, J, 0, mu.z, mu.x, mu.y,
                                              levelRef(u, l), levelRef(w, lp))
                          : lineStrengthJPlusOne(rs, set.f.sw->tors, J, Jp, 0, mu.z, mu.x, mu.y,
                                                 levelRef(u, l), levelRef(w, lp));
              const double fast = pairs(rs, levelRef(u, l), l - 1, levelRef(w, lp), lp - 1);
              EXPECT_EQ(std::memcmp(&direct, &fast, sizeof direct), 0)
                  << J << ' ' << l << ' ' << Jp << ' ' << lp << ' ' << direct << ' ' << fast;
            }
        }
  }
}
