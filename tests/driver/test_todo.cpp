// The block list: which blocks the transitions need, the derivative bit,
// the intensity-mode extension, the stable sort and the block report.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/state.h"
#include "core/stop.h"
#include "driver/todo.h"

namespace ruvo {
namespace {

struct Fixture {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::ostringstream out, err;
  Fixture() {
    rs->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
  }
  // Append a transition between levels (J, Sym, B, 2F); measured when err
  // is given.
  void line(std::tuple<int, int, int, int> up, std::tuple<int, int, int, int> lo,
            double err = NODATA) {
    const int i = ++rs->tr.ndata;
    auto set = [&](Slots& s, const std::tuple<int, int, int, int>& k) {
      s[slot::J] = std::get<0>(k);
      s[slot::S] = std::get<1>(k);
      s[slot::B] = std::get<2>(k);
      s[slot::F] = std::get<3>(k);
    };
    set(rs->tr.qn[i][UP], up);
    set(rs->tr.qn[i][LO], lo);
    rs->tr.err[i] = err;
  }
  TodoEntry at(int i) const { return rs->todo.e[static_cast<std::size_t>(i)]; }
  std::vector<std::tuple<int, int, int, int, int>> entries() const {
    std::vector<std::tuple<int, int, int, int, int>> v;
    for (int i = 1; i <= rs->todo.n; ++i) {
      const TodoEntry e = at(i);
      v.emplace_back(e.J, e.Sym, e.B, e.F, e.Stat);
    }
    return v;
  }
};

std::string stopMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const RunEnd& e) {
    return e.message;
  }
  return "<no stop>";
}

using E = std::tuple<int, int, int, int, int>;

TEST(TodoList, SharedLevelsGiveOneBlockWithDerivativeBitFromMeasuredLines) {
  Fixture f;
  f.line({1, 0, 1, -1}, {0, 0, 1, -1}, 0.05); // measured
  f.line({2, 0, 1, -1}, {1, 0, 1, -1});       // predicted only
  f.line({3, 0, 1, -1}, {2, 0, 1, -1});       // predicted only
  f.line({2, 0, 1, -1}, {1, 0, 1, -1}, 0.01); // measured, same levels as line 2
  buildTodo(*f.rs);
  EXPECT_EQ(
      f.entries(),
      (std::vector<E>{{1, 0, 1, -1, 2}, {0, 0, 1, -1, 2}, {2, 0, 1, -1, 2}, {3, 0, 1, -1, 0}}));
  EXPECT_EQ(f.rs->maxJ, 3);
  EXPECT_TRUE(f.out.str().empty());
}

TEST(TodoList, BlocksDifferInAnyOfJSpeciesSetAndF) {
  Fixture f;
  f.line({1, 1, 1, 3}, {1, 1, 1, 1});
  f.line({1, 2, 1, 3}, {1, 1, 2, 3});
  f.line({1, 1, 1, 3}, {1, 2, 1, 3}); // both known already
  buildTodo(*f.rs);
  EXPECT_EQ(f.entries(),
            (std::vector<E>{{1, 1, 1, 3, 0}, {1, 1, 1, 1, 0}, {1, 2, 1, 3, 0}, {1, 1, 2, 3, 0}}));
  // a frequency-derivative file needs the derivatives of every block
  f.rs->ctl.dfreq = 1;
  buildTodo(*f.rs);
  for (int i = 1; i <= f.rs->todo.n; ++i) EXPECT_EQ(f.at(i).Stat, TODO_DERIV);
}

TEST(TodoList, RebuildingStartsFromAnEmptyList) {
  Fixture f;
  f.line({5, 0, 1, -1}, {4, 0, 1, -1}, 0.1);
  buildTodo(*f.rs);
  f.rs->tr.err[1] = NODATA;
  f.rs->tr.qn[1][UP][slot::J] = 2;
  f.rs->tr.qn[1][LO][slot::J] = 1;
  buildTodo(*f.rs);
  EXPECT_EQ(f.entries(), (std::vector<E>{{2, 0, 1, -1, 0}, {1, 0, 1, -1, 0}}));
  EXPECT_EQ(f.rs->maxJ, 2);
}

TEST(TodoList, TheBlockLimitIsThreeThousand) {
  Fixture f;
  // 1500 lines of distinct levels fill the list exactly
  for (int k = 0; k < 1500; ++k) f.line({10, 0, 1, 2 * k}, {10, 0, 1, 2 * k + 1});
  EXPECT_EQ(stopMessage([&] { buildTodo(*f.rs); }), "<no stop>");
  EXPECT_EQ(f.rs->todo.n, DIMTDO);
  f.line({11, 0, 1, -1}, {10, 0, 1, 0}); // one new level more
  EXPECT_EQ(stopMessage([&] { buildTodo(*f.rs); }), "ERROR: todo >DIMTDO");

  Fixture g;
  for (int k = 0; k < DIMTDO; ++k) addTodo(g.rs->todo, 0, 0, 1, k);
  EXPECT_EQ(stopMessage([&] { addTodo(g.rs->todo, 1, 0, 1, -1); }), "ERROR: todo >DIMTDO");
}

TEST(TodoList, LevelsOutsideTheStorageEndTheRunClearly) {
  for (auto bad : {std::tuple<int, int, int, int>{151, 0, 1, -1},
                   {-1, 0, 1, -1},
                   {1, 15, 1, -1},
                   {1, -1, 1, -1},
                   {1, 0, 0, -1},
                   {1, 0, 6, -1}}) {
    Fixture f;
    f.line({1, 0, 1, -1}, {0, 0, 1, -1});
    f.line(bad, {0, 0, 1, -1});
    EXPECT_EQ(stopMessage([&] { buildTodo(*f.rs); }), "ERROR: level out of range in transition 2");
  }
}

TEST(TodoList, InconsistentStateEndsTheRunClearly) {
  Fixture f;
  f.rs->tr.ndata = DIMDATA + 1;
  EXPECT_EQ(stopMessage([&] { buildTodo(*f.rs); }), "ERROR: transition list inconsistent");
  f.rs->tr.ndata = -1;
  EXPECT_EQ(stopMessage([&] { buildTodo(*f.rs); }), "ERROR: transition list inconsistent");
  Fixture g;
  addTodo(g.rs->todo, 0, 0, 7, -1);
  EXPECT_EQ(stopMessage([&] { reportTodo(*g.rs); }), "ERROR: block of an undefined B set");
}

TEST(TodoList, IntensityModeAddsEveryBlockUpToMaxJ) {
  // ints = 2: species from 1; the blocks of the lines are kept and not doubled
  Fixture f;
  f.rs->ctl.ints = 2;
  f.rs->ctl.ntop = 1;
  f.rs->ctl.nzyk = 5;
  f.rs->nB = 2;
  f.rs->species.nsym = 2;
  f.line({1, 1, 1, -1}, {0, 1, 1, -1}, 0.1);
  buildTodo(*f.rs);
  extendTodoForIntensities(*f.rs);
  EXPECT_EQ(f.out.str(),
            "\n Intensity Calculation Mode \n Number of iteration cylcles reset to one !\n");
  EXPECT_EQ(f.rs->ctl.nzyk, 1);
  EXPECT_EQ(f.entries(), (std::vector<E>{{1, 1, 1, -1, 2},
                                         {0, 1, 1, -1, 2},
                                         {0, 2, 1, -1, 0},
                                         {1, 2, 1, -1, 0},
                                         {0, 1, 2, -1, 0},
                                         {0, 2, 2, -1, 0},
                                         {1, 1, 2, -1, 0},
                                         {1, 2, 2, -1, 0}}));

  // ints = 3: species 0 as well; nzyk 1 is not reported
  Fixture g;
  g.rs->ctl.ints = 3;
  g.rs->species.nsym = 1;
  g.line({1, 0, 1, 3}, {0, 0, 1, 3}, 0.1); // hyperfine blocks do not count as F = -1
  buildTodo(*g.rs);
  extendTodoForIntensities(*g.rs);
  EXPECT_EQ(g.out.str(), "\n Intensity Calculation Mode \n");
  EXPECT_EQ(g.entries(), (std::vector<E>{{1, 0, 1, 3, 2},
                                         {0, 0, 1, 3, 2},
                                         {0, 0, 1, -1, 0},
                                         {0, 1, 1, -1, 0},
                                         {1, 0, 1, -1, 0},
                                         {1, 1, 1, -1, 0}}));

  // a molecule without tops has only species 0: ints = 2 lists it, so its
  // blocks are added; bit 16 (keep the scratch files) changes nothing here
  Fixture r;
  r.rs->ctl.ints = 2 + 16;
  r.line({2, 0, 1, -1}, {1, 0, 1, -1}, 0.1);
  buildTodo(*r.rs);
  extendTodoForIntensities(*r.rs);
  EXPECT_EQ(r.entries(), (std::vector<E>{{2, 0, 1, -1, 2}, {1, 0, 1, -1, 2}, {0, 0, 1, -1, 0}}));
  EXPECT_TRUE(r.at(3).predicted);
  EXPECT_FALSE(r.at(1).predicted);

  // ints 0 and 1: nothing happens
  Fixture h;
  h.rs->ctl.ints = 1 + 16;
  h.line({1, 0, 1, -1}, {0, 0, 1, -1});
  buildTodo(*h.rs);
  extendTodoForIntensities(*h.rs);
  EXPECT_EQ(h.rs->todo.n, 2);
  EXPECT_TRUE(h.out.str().empty());
}

TEST(TodoList, IntensityExtensionRespectsTheLimit) {
  Fixture f;
  f.rs->ctl.ints = 3;
  f.rs->nB = 5;
  f.rs->species.nsym = 14;
  f.line({70, 0, 1, -1}, {69, 0, 1, -1});
  buildTodo(*f.rs);
  // 5 sets * 71 J * 15 species = 5325 blocks
  EXPECT_EQ(stopMessage([&] { extendTodoForIntensities(*f.rs); }), "ERROR: todo >DIMTDO");
}

TEST(TodoList, SortIsStableByBThenJThenSpecies) {
  Fixture f;
  TodoList& t = f.rs->todo;
  // created in this order; F tells the order of creation among equals
  addTodo(t, 2, 1, 2, 0);
  addTodo(t, 1, 2, 1, 1);
  addTodo(t, 1, 0, 1, 2);
  addTodo(t, 0, 1, 2, 3);
  addTodo(t, 1, 2, 1, 4); // equal to entry 2 but for F
  addTodo(t, 2, 0, 1, 5);
  addTodo(t, 1, 0, 1, 6); // equal to entry 3 but for F
  t.e[3].Stat = 2;
  sortTodo(t);
  EXPECT_EQ(f.entries(), (std::vector<E>{{1, 0, 1, 2, 2},
                                         {1, 0, 1, 6, 0},
                                         {1, 2, 1, 1, 0},
                                         {1, 2, 1, 4, 0},
                                         {2, 0, 1, 5, 0},
                                         {0, 1, 2, 3, 0},
                                         {2, 1, 2, 0, 0}}));
  swapTodoEntries(t, 1, 7);
  EXPECT_EQ(f.at(1).F, 0);
  EXPECT_EQ(f.at(7).F, 2);
  EXPECT_EQ(f.at(7).Stat, 2);
  // an empty list and a single entry are sorted already
  Fixture g;
  sortTodo(g.rs->todo);
  addTodo(g.rs->todo, 3, 0, 1, -1);
  sortTodo(g.rs->todo);
  EXPECT_EQ(g.rs->todo.n, 1);
}

TEST(TodoList, BlockReportLines) {
  Fixture f;
  f.rs->maxJ = 12;
  f.rs->ctl.ntop = 1;
  f.rs->woodsB[1] = 1 + 4 + 64;
  f.rs->adjfB[1] = 3;
  f.rs->woodsB[2] = 2 + 8 + 16 + 32;
  f.rs->adjfB[2] = 0;
  addTodo(f.rs->todo, 0, 0, 1, -1);
  addTodo(f.rs->todo, 12, 1, 1, -1);
  addTodo(f.rs->todo, 3, 1, 2, 5);
  f.rs->todo.e[2].Stat = 2;
  reportTodo(*f.rs);
  EXPECT_EQ(f.out.str(), "\n"
                         "  \\\\  Maximal K = J =  12\n"
                         "  \\\\ B=  1    adj=  3\n"
                         "  \\\\ (1) calculate torsional integrals \n"
                         "  \\\\ (4) use torsional integrals in the rotation matrix \n"
                         "  \\\\ (64)multiply torsional integrals like Karvelle\n"
                         "  \\\\ B=  2    adj=  0\n"
                         "  \\\\ (2) use scaled torsional integrals \n"
                         "  \\\\ (8) use torsional integrals in H_ir for other top(s)\n"
                         "  \\\\ (16)use torsional integrals in twotop terms\n"
                         "  \\\\ (32)use torsional integrals in rigid rotor H_rr \n");

  // without tops no option lines; aprint bit 1024 lists the blocks
  Fixture g;
  g.rs->maxJ = 1;
  g.rs->ctl.aprint = 1024;
  g.rs->woodsB[1] = 33;
  addTodo(g.rs->todo, 1, 0, 1, -1);
  addTodo(g.rs->todo, 0, 0, 1, 3);
  g.rs->todo.e[1].Stat = 2;
  reportTodo(*g.rs);
  EXPECT_EQ(g.out.str(), "\n"
                         "  \\\\  Maximal K = J =   1\n"
                         "\n"
                         " ToDo: list of quantum no.\n"
                         "      J  Sym B  F  Stat\n"
                         "      1   0   1  -1   2\n"
                         "      0   0   1   3   0\n"
                         "  \\\\ B=  1    adj=  0\n");
}

} // namespace
} // namespace ruvo
