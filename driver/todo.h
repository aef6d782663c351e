// The block list (todo list): every (J, species, B set, 2F) block whose
// levels some transition names, or that an intensity calculation needs.
// Entries are numbered 1..rs.todo.n (element 0 unused).
#pragma once

#include "core/state.h"

namespace ruvo {

// Index of the entry with these four values, 0 when there is none.
int findTodo(const TodoList& todo, int J, int Sym, int B, int F);
// Append an entry (Stat 0) and return its index; the 3001st entry stops the
// run with "ERROR: todo >DIMTDO".
int addTodo(TodoList& todo, int J, int Sym, int B, int F);

// The blocks of the upper and lower level of every transition line, maxJ,
// and the derivative bit of each block that a measured line uses (or of
// every block when dfreq > 0).
void buildTodo(RunState& rs);
// Intensity mode (ints > 1): one cycle only, and every block J = 0..maxJ of
// every species (from species 1 when ints = 2) and B set is added.
void extendTodoForIntensities(RunState& rs);

// Swap all five fields of entries i and j.
void swapTodoEntries(TodoList& todo, int i, int j);
// Stable order by B set, then J, then species (2F is no key).
void sortTodo(TodoList& todo);

// The block report: maxJ, optionally the whole list (aprint bit 1024), and
// per B set its adjustment bits and the torsional-integral options.
void reportTodo(RunState& rs);

} // namespace ruvo
