// Runs a model's input through the program's sequence with a caller's
// additions: the model's values are set after the input is read, then the
// caller's hooks take over (a calculation of their own in place of the fit).
#pragma once

#include "driver/program.h"
#include "ruvo/ruvo.h"

namespace ruvo {

// The run's failures come back as ruvo::Error, as from the model's own
// calculations; `hooks.replaceFit` must return true.
void runModelWithHooks(const Model& model, RunHooks& hooks, const RunOptions& options = {});

// The model's catalogue (Model::catalogue); with `partitionOnlyAtT` its
// partition function is converged at what.T alone, for a caller that reads
// the intensities at what.T and nothing at the catalogue temperatures (the
// LGINT cut-off, at 300 K, is then taken with a partial Q(300 K)).
Catalogue modelCatalogue(const Model& model, const CatalogueOptions& what,
                         const RunOptions& options, bool partitionOnlyAtT);

} // namespace ruvo
