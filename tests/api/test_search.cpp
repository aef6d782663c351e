// The triples search on synthetic broadband spectra: the true constants rank
// first from guesses 2 % off, for a rigid rotor and for a one-top molecule
// (whose A/E doublets decide); the ranked list does not depend on the thread
// count or on the parts the combinations are searched in.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "api/model_run.h"
#include "ruvo/search.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

const char* kRigid = R"(Search test: a rigid asymmetric rotor {}

ntop 0 freq_l 6 freq_h 26 limit 0.01

BJ 1.60 BK 3.40 B- 0.21
DJ 1.0e-7
mu_x 1.0 mu_z 2.0

fit BJ
fit BK
fit B-

Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 3.2
Jup 10 K-up 0 K+up 10 Jlo 9 K-lo 0 K+lo 9 = 32.0
)";

const char* kOneTop = R"(Search test: one methyl top {}

ntop 1 freq_l 6 freq_h 26 limit 0.01

BJ 1.60 BK 3.40 B- 0.21
F_1 158 V1n_1 4000 rho_1 0.05 beta_1 0.35
mu_x 1.0 mu_z 2.0

fit BJ
fit BK
fit B-

/A S 0
/E S 1

V 0

Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A = 3.2
Jup 10 K-up 0 K+up 10 Jlo 9 K-lo 0 K+lo 9 /A = 32.0
)";

struct Synthetic {
  Model guess;
  PeakList peaks;
  Catalogue truth;
  double BJ, BK, Bm;
};

CatalogueOptions range() {
  CatalogueOptions co;
  co.fmin_MHz = 6000;
  co.fmax_MHz = 26000;
  co.jmax = 10;
  co.T = 10;
  co.fit = false;
  return co;
}

// The truth's spectrum, and the model with BJ, BK, B- 2 % off.
Synthetic makeSpectrum(const char* text, std::uint64_t seed, double minLgint) {
  const Model truth = Model::parse(text, "truth");
  SyntheticSpectrumOptions so;
  so.min_lgint = minLgint;
  so.seed = seed;
  const Catalogue cat = truth.catalogue(range());
  Synthetic s{truth,          syntheticSpectrum(cat, so), cat, truth.get("BJ"), truth.get("BK"),
              truth.get("B-")};
  s.guess.set("BJ", s.BJ * 1.02);
  s.guess.set("BK", s.BK * 0.98);
  s.guess.set("B-", s.Bm * 1.02);
  return s;
}

// Whether a line of the search is in the peak list at its true frequency
// (a triple can find the truth only when its three lines were seen).
bool seen(const Synthetic& s, const SearchLine& l) {
  for (const CatalogueEntry& e : s.truth.entries) {
    const Level &u = s.truth.levels[static_cast<std::size_t>(e.upper)],
                &d = s.truth.levels[static_cast<std::size_t>(e.lower)];
    const Quanta &qu = l.name.upper, &qd = l.name.lower;
    if (u.J != qu.J || u.Ka != qu.Ka || u.Kc != qu.Kc || u.species != qu.species || d.J != qd.J ||
        d.Ka != qd.Ka || d.Kc != qd.Kc || d.species != qd.species)
      continue;
    for (double f : s.peaks.freq_MHz)
      if (std::fabs(f - e.freq_MHz) < 0.1) return true;
  }
  return false;
}

SearchOptions options() {
  SearchOptions o;
  o.jmax = 10;
  o.T = 10;
  o.checks = 30;
  o.tolerance_MHz = 0.1;
  o.keep = 10;
  return o;
}

void expectTruthFirst(const Synthetic& s, const SearchResult& r) {
  for (const SearchLine& l : r.triple) ASSERT_TRUE(seen(s, l)) << "the seed hides a triple line";
  ASSERT_GE(r.hits.size(), 2u);
  const SearchHit& h = r.hits[0];
  EXPECT_NEAR(h.BJ, s.BJ, 1e-4 * s.BJ);
  EXPECT_NEAR(h.BK, s.BK, 1e-4 * s.BK);
  EXPECT_NEAR(h.Bm, s.Bm, 1e-3 * s.Bm);
  EXPECT_GE(h.score, r.hits[1].score + 3.0) << r.hits[1].BJ << " " << r.hits[1].BK;
}

TEST(Search, RigidRotorRanksTheTrueConstantsFirst) {
  const Synthetic s = makeSpectrum(kRigid, 1, -5.0);
  SearchOptions o = options();
  o.threads = 1;
  const SearchResult one = search(s.guess, s.peaks, o);
  EXPECT_GT(one.combinations, 1000u);
  EXPECT_EQ(one.searched, one.combinations);
  expectTruthFirst(s, one);
  // a type mix among the triple, E partners absent without tops
  EXPECT_NE(one.triple[0].name.upper.Ka - one.triple[0].name.lower.Ka,
            one.triple[1].name.upper.Ka - one.triple[1].name.lower.Ka +
                (one.triple[2].name.upper.Ka - one.triple[2].name.lower.Ka) * 100);

  // the same ranked list on two threads, and from parts merged
  o.threads = 2;
  const SearchResult two = search(s.guess, s.peaks, o);
  SearchOptions part = options();
  part.threads = 1;
  std::vector<std::vector<SearchHit>> parts;
  for (std::uint64_t first = 0; first < one.combinations; first += one.combinations / 3 + 1) {
    part.first = first;
    part.count = one.combinations / 3 + 1;
    parts.push_back(search(s.guess, s.peaks, part).hits);
  }
  const std::vector<SearchHit> merged = mergeSearchHits(parts, o.keep);
  // interleaved parts (runs of the range dealt out in turn) cover it once
  parts.clear();
  part.first = 0;
  part.count = UINT64_MAX;
  part.parts = 5;
  std::uint64_t searched = 0;
  for (part.part = 0; part.part < 5; ++part.part) {
    const SearchResult r = search(s.guess, s.peaks, part);
    searched += r.searched;
    parts.push_back(r.hits);
  }
  EXPECT_EQ(searched, one.combinations);
  const std::vector<SearchHit> dealt = mergeSearchHits(parts, o.keep);
  ASSERT_EQ(two.hits.size(), one.hits.size());
  ASSERT_EQ(merged.size(), one.hits.size());
  ASSERT_EQ(dealt.size(), one.hits.size());
  for (std::size_t i = 0; i < one.hits.size(); ++i) {
    for (const SearchHit* h : {&two.hits[i], &merged[i], &dealt[i]}) {
      EXPECT_EQ(h->combination, one.hits[i].combination);
      EXPECT_EQ(h->BJ, one.hits[i].BJ);
      EXPECT_EQ(h->score, one.hits[i].score);
    }
  }
  EXPECT_EQ(two.matched, one.matched);
}

TEST(Search, OneTopRanksTheTrueConstantsFirstByItsDoublets) {
  const Synthetic s = makeSpectrum(kOneTop, 6, -4.5);
  SearchOptions o = options();
  o.threads = 2;
  const SearchResult r = search(s.guess, s.peaks, o);
  for (const SearchLine& l : r.triple) EXPECT_TRUE(l.a_species);
  int partners = 0;
  for (const SearchLine& l : r.checks) partners += l.a_species ? 0 : 1;
  EXPECT_GE(partners, 3); // the E partners of the triple are checked
  expectTruthFirst(s, r);
}

// The search reads intensities at its own temperature alone: its catalogue
// sums Q until it converges there (a few J above the lines at 10 K, not the
// hundreds of J and the excited torsional states that 300 K needs) and gives
// the same lines with the same intensities at T.
TEST(Search, ItsCatalogueConvergesQAtTheSearchTemperatureAlone) {
  for (const char* text : {kRigid, kOneTop}) {
    const Model m = Model::parse(text, "q");
    const Catalogue whole = m.catalogue(range());
    const Catalogue atT = modelCatalogue(m, range(), RunOptions{}, true);
    EXPECT_NEAR(atT.Q / whole.Q, 1.0, 1e-6);
    EXPECT_LT(atT.Q_lastJ, whole.Q_lastJ / 2);
    // the LGINT cut-off at 300 K, taken with the partial Q(300 K), keeps
    // every line of the whole catalogue (and a few more)
    std::map<std::pair<int, int>, const CatalogueEntry*> kept;
    for (const CatalogueEntry& e : atT.entries) kept[{e.upper, e.lower}] = &e;
    for (const CatalogueEntry& e : whole.entries) {
      const auto k = kept.find({e.upper, e.lower});
      ASSERT_NE(k, kept.end());
      EXPECT_EQ(k->second->freq_MHz, e.freq_MHz);
      EXPECT_NEAR(k->second->lgint, e.lgint, 1e-6);
    }
  }
}

TEST(Search, AnInterruptedSearchKeepsWhatItHasSearched) {
  const Synthetic s = makeSpectrum(kRigid, 7, -5.0);
  SearchOptions o = options();
  o.threads = 1;
  o.progress = [](std::uint64_t, std::uint64_t) { requestInterrupt(); }; // after one batch
  const SearchResult r = search(s.guess, s.peaks, o);
  clearInterrupt();
  EXPECT_TRUE(r.interrupted);
  EXPECT_GT(r.searched, 0u);
  EXPECT_LT(r.searched, r.combinations);
  EXPECT_FALSE(r.hits.empty());
}

TEST(Search, BadInputsSayWhatIsWrong) {
  const Model m = Model::parse(kRigid, "rigid");
  PeakList p;
  EXPECT_THROW(search(m, p), Error);
  p.freq_MHz = {7000.0, -1.0};
  try {
    search(m, p);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "ERROR: peak 2 has no positive finite frequency");
  }
  p.freq_MHz = {7000.0, 8000.0};
  p.intensity = {1.0};
  EXPECT_THROW(search(m, p), Error);
  p.intensity.clear();
  SearchOptions bad;
  bad.parts = 3;
  bad.part = 3;
  try {
    search(m, p, bad);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "ERROR: a search part must lie in 0 .. parts - 1 (parts 3, part 3)");
  }
  SearchOptions o = options();
  o.triple = {{{1, 0, 1}, {0, 0, 0}}};
  try {
    search(m, p, o);
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("three lines"), std::string::npos) << e.what();
  }
}

} // namespace
} // namespace ruvo
