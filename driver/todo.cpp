#include "driver/todo.h"

#include <ostream>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace ruvo {

namespace {

// The levels of a line name their blocks by these four slots.
struct BlockKey {
  int J, Sym, B, F;
};

BlockKey keyOf(const Slots& s) { return {s[slot::J], s[slot::S], s[slot::B], s[slot::F]}; }

// A key that the block computation cannot hold means the transition list
// was not checked; end the run clearly instead of indexing with it.
void checkKey(const BlockKey& k, int line) {
  if (k.J < 0 || k.J > DIMJ || k.Sym < 0 || k.Sym > DIMSYM || k.B < 1 || k.B > DIMB)
    stop("ERROR: level out of range in transition " + std::to_string(line));
}

// Make sure the list has its fixed storage (it is sized once per run).
void ensureStorage(TodoList& todo) {
  if (todo.e.size() < static_cast<std::size_t>(DIMTDO + 1)) todo.e.resize(DIMTDO + 1);
}

} // namespace

int findTodo(const TodoList& todo, int J, int Sym, int B, int F) {
  for (int i = 1; i <= todo.n; ++i) {
    const TodoEntry& e = todo.e[static_cast<std::size_t>(i)];
    if (e.J == J && e.Sym == Sym && e.B == B && e.F == F) return i;
  }
  return 0;
}

int addTodo(TodoList& todo, int J, int Sym, int B, int F) {
  if (todo.n >= DIMTDO) stop("ERROR: todo >DIMTDO");
  ensureStorage(todo);
  ++todo.n;
  TodoEntry& e = todo.e[static_cast<std::size_t>(todo.n)];
  e.J = J;
  e.Sym = Sym;
  e.B = B;
  e.F = F;
  e.Stat = 0;
  e.predicted = false;
  return todo.n;
}

void buildTodo(RunState& rs) {
  TodoList& todo = rs.todo;
  ensureStorage(todo);
  rs.maxJ = 0;
  todo.n = 0;
  for (auto& e : todo.e) e.Stat = 0;

  const Transitions& tr = rs.tr;
  const int ndata = tr.ndata;
  if (ndata < 0 || ndata > DIMDATA || tr.qn.size() <= static_cast<std::size_t>(ndata) ||
      tr.err.size() <= static_cast<std::size_t>(ndata))
    stop("ERROR: transition list inconsistent");

  for (int i = 1; i <= ndata; ++i) {
    const std::size_t li = static_cast<std::size_t>(i);
    // a line whose frequency enters a data point (or every line when
    // frequency derivatives are written) needs the energy derivatives of
    // both its blocks
    const bool deriv = tr.entersData(i) || rs.ctl.dfreq > 0;
    for (int end : {UP, LO}) {
      const BlockKey k = keyOf(tr.qn[li][static_cast<std::size_t>(end)]);
      checkKey(k, i);
      int at = findTodo(todo, k.J, k.Sym, k.B, k.F);
      if (at == 0) at = addTodo(todo, k.J, k.Sym, k.B, k.F);
      if (k.J > rs.maxJ) rs.maxJ = k.J;
      if (deriv) {
        TodoEntry& e = todo.e[static_cast<std::size_t>(at)];
        e.Stat = withBits(e.Stat, TODO_DERIV);
      }
    }
  }
}

void extendTodoForIntensities(RunState& rs) {
  Controls& c = rs.ctl;
  const int mode = intensityMode(c.ints);
  if (mode <= 1) return;
  std::ostream& out = *rs.io.out;
  put(out, "(/,A)", {" Intensity Calculation Mode "});
  if (c.nzyk != 1) {
    c.nzyk = 1;
    put(out, "(A)", {" Number of iteration cylcles reset to one !"});
  }
  // ints = 2: only the species of the internal rotation, not species 0 --
  // except for a molecule without tops, whose levels are all of species 0
  const int s0 = mode == 2 && c.ntop > 0 ? 1 : 0;
  const int nB = rs.nB < 1 ? 1 : (rs.nB > DIMB ? DIMB : rs.nB);
  const int nsym = rs.species.nsym < 0 ? 0 : (rs.species.nsym > DIMSYM ? DIMSYM : rs.species.nsym);
  for (int B = 1; B <= nB; ++B)
    for (int J = 0; J <= rs.maxJ; ++J)
      for (int Sym = s0; Sym <= nsym; ++Sym)
        if (findTodo(rs.todo, J, Sym, B, -1) == 0) {
          addTodo(rs.todo, J, Sym, B, -1);
          rs.todo.e[static_cast<std::size_t>(rs.todo.n)].predicted = true;
        }
}

void swapTodoEntries(TodoList& todo, int i, int j) {
  std::swap(todo.e[static_cast<std::size_t>(i)], todo.e[static_cast<std::size_t>(j)]);
}

void sortTodo(TodoList& todo) {
  const int n = todo.n;
  auto at = [&](int i) -> const TodoEntry& { return todo.e[static_cast<std::size_t>(i)]; };
  // Each pass is a bubble sort: only neighbours out of order are swapped, so
  // entries equal in the keys keep their order of creation.
  auto pass = [&](auto outOfOrder) {
    bool swapped = true;
    while (swapped) {
      swapped = false;
      for (int i = 1; i < n; ++i)
        if (outOfOrder(at(i), at(i + 1))) {
          swapTodoEntries(todo, i, i + 1);
          swapped = true;
        }
    }
  };
  pass([](const TodoEntry& a, const TodoEntry& b) { return a.B > b.B; });
  pass([](const TodoEntry& a, const TodoEntry& b) { return a.B == b.B && a.J > b.J; });
  pass([](const TodoEntry& a, const TodoEntry& b) {
    return a.B == b.B && a.J == b.J && a.Sym > b.Sym;
  });
}

void reportTodo(RunState& rs) {
  std::ostream& out = *rs.io.out;
  const TodoList& todo = rs.todo;
  put(out, "(/,2X,A,I4)", {"\\\\  Maximal K = J =", rs.maxJ});
  if (hasBit(rs.ctl.aprint, aprintbit::BLOCK_LIST)) {
    put(out, "(/,A)", {" ToDo: list of quantum no."});
    put(out, "(3X,A)", {"   J  Sym B  F  Stat"});
    for (int i = 1; i <= todo.n; ++i) {
      const TodoEntry& e = todo.e[static_cast<std::size_t>(i)];
      put(out, "(3X,5I4)", {e.J, e.Sym, e.B, e.F, e.Stat});
    }
  }
  // Options of the torsional integrals, one line per bit of woods.
  static const char* const woodsLine[7] = {
      "\\\\ (1) calculate torsional integrals ",
      "\\\\ (2) use scaled torsional integrals ",
      "\\\\ (4) use torsional integrals in the rotation matrix ",
      "\\\\ (8) use torsional integrals in H_ir for other top(s)",
      "\\\\ (16)use torsional integrals in twotop terms",
      "\\\\ (32)use torsional integrals in rigid rotor H_rr ",
      "\\\\ (64)multiply torsional integrals like Karvelle",
  };
  int lastB = 0; // no B set yet: the first entry always starts one
  for (int i = 1; i <= todo.n; ++i) {
    const int B = todo.e[static_cast<std::size_t>(i)].B;
    if (i > 1 && B == lastB) continue;
    lastB = B;
    if (B < 1 || B > DIMB) stop("ERROR: block of an undefined B set");
    const int woods = rs.woodsB[static_cast<std::size_t>(B)];
    const int adjf = rs.adjfB[static_cast<std::size_t>(B)];
    put(out, "(2X,2(A,I3))", {"\\\\ B=", B, "    adj=", adjf});
    if (rs.ctl.ntop > 0)
      for (int k = 0; k < 7; ++k)
        if (hasBit(woods, 1 << k)) put(out, "(2X,A)", {woodsLine[k]});
  }
}

} // namespace ruvo
