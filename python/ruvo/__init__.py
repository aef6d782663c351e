"""ruvo: rotational levels, fits and predicted spectra of asymmetric tops with
up to three internal methyl rotors, without files.

    import ruvo
    m = ruvo.read("acetaldehyde.inp")   # or ruvo.parse(text)
    m["V1n_1"] = 12000.0                # parameters by their input names, GHz
    fit = m.fit()                       # the program's cycles and numbers
    fit.parameters, fit.errors, fit.correlations, fit.sd_MHz, fit.converged
    fit.lines                           # numpy structured array
    m.levels(jmax=30).levels            # energies and labels
    m.catalogue(fmax_MHz=300e3, T=300)  # the .cat cards as arrays, Q(T)

Units are those of the input file: GHz for energies, frequencies and
frequency-like parameters, MHz where a name says so, radians, Debye.
Input errors raise ruvo.Error with .line (the input line), .messages (what
the program prints) and .status (its exit status).
"""

from dataclasses import dataclass, field
from typing import List

import numpy as np

from ._ruvo import Calculation, Catalogue, Error, FitResult, Levels, Model, _scan
from ._ruvo import build as _build
from .triples import SearchTable, search, synthetic_spectrum

__all__ = ["Model", "FitResult", "Calculation", "Levels", "Catalogue", "Error",
           "ScanTable", "read", "parse", "build", "scan", "grid", "search", "SearchTable",
           "synthetic_spectrum"]


def read(path):
    """A model from an input file."""
    return Model.read(str(path))


def parse(text, name=""):
    """A model from the text of an input file."""
    return Model.parse(text, name)


def build(title="model made in code", controls=None, parameters=None, fit=(), species=(),
          states=(), transitions=(), name=""):
    """A model made in code: controls and parameters as {name: value} (in the
    input's names), fit variables, species, torsional states and transitions
    as lines in the input's syntax ("fit BJ", "/A S 0", "V 0", "Jup 1 K-up 0
    K+up 1 Jlo 0 K-lo 0 K+lo 0 = 6.699994").  The model's text is the input
    file these make."""
    return _build(title, list((controls or {}).items()), list((parameters or {}).items()),
                  list(fit), list(species), list(states), list(transitions), name)


def _rebuild(text, name, settings):
    m = Model.parse(text, name)
    for key, set_, value in settings:
        if set_ == 0:
            m.set_control(key, value)
        else:
            m.set(key, value, set_)
    return m


# a model travels (to Dask workers, through pickle) as its text and settings
Model.__reduce__ = lambda self: (_rebuild, (self.text, self.name, self.settings))


@dataclass
class ScanTable:
    """One row per grid point, in the grid's order.

    columns: the grid's parameter names, then (fits) the fitted parameters;
    values[i, k] their values at point i (after the fit); sd_MHz the fit's
    standard deviation (NaN for calculations), rms_MHz the rms of obs - calc;
    converged, cycles; errors: '' or the message of a point whose run stopped.
    """
    columns: List[str]
    values: np.ndarray
    sd_MHz: np.ndarray
    rms_MHz: np.ndarray
    converged: np.ndarray
    cycles: np.ndarray
    errors: List[str] = field(default_factory=list)

    def __len__(self):
        return len(self.sd_MHz)

    def column(self, name):
        """The values of one column."""
        return self.values[:, self.columns.index(name)]

    @staticmethod
    def _join(parts):
        return ScanTable(parts[0]["columns"],
                         np.concatenate([p["values"] for p in parts]),
                         np.concatenate([p["sd_MHz"] for p in parts]),
                         np.concatenate([p["rms_MHz"] for p in parts]),
                         np.concatenate([p["converged"] for p in parts]),
                         np.concatenate([p["cycles"] for p in parts]),
                         [e for p in parts for e in p["errors"]])


def grid(axes):
    """Every combination of the values of {name: values}, the first name
    slowest: (names, points) with points[i, k] the value of names[k]."""
    names = list(axes)
    mesh = np.meshgrid(*[np.asarray(axes[n], dtype=float) for n in names], indexing="ij")
    return names, np.stack([a.ravel() for a in mesh], axis=1)


def _scan_chunk(model, names, points, fit):
    return _scan(model, names, points, fit, 1)


def scan(model, axes=None, *, names=None, points=None, mode="fit", threads=0,
         client=None, chunks=None):
    """Evaluate the model at every point of a grid.

    axes: {name: values} for a product grid (first name slowest), or names and
    points (points[i, k] = value of names[k] at point i).  mode: "fit" (the
    input's fit from each point) or "calculate".  Without a client the points
    share the machine's cores (threads=0: all).  With client (a
    dask.distributed Client, or a scheduler address) they are shared out over
    the cluster in chunks (default: four per worker thread), each chunk on
    one thread of a worker.  Every way gives the same table.
    """
    if axes is not None:
        names, points = grid(axes)
    if names is None or points is None:
        raise ValueError("scan needs axes, or names and points")
    names = list(names)
    points = np.ascontiguousarray(points, dtype=float).reshape(-1, len(names))
    fit = {"fit": True, "calculate": False}[mode]
    if client is None:
        return ScanTable._join([_scan(model, names, points, fit, threads)])
    if isinstance(client, str):
        from distributed import Client
        with Client(client) as c:
            return scan(model, names=names, points=points, mode=mode, client=c, chunks=chunks)
    if chunks is None:
        workers = client.nthreads()
        chunks = 4 * max(1, sum(workers.values()))
    pieces = [p for p in np.array_split(points, max(1, min(chunks, len(points)))) if len(p)]
    [shared] = client.scatter([model], broadcast=True)
    futures = client.map(_scan_chunk, [shared] * len(pieces), [names] * len(pieces), pieces,
                         [fit] * len(pieces), pure=False)
    return ScanTable._join(client.gather(futures))
