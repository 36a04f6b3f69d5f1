"""Waveforms as pandas and xarray objects; each library is imported only when
asked for, so the package needs neither."""
from __future__ import annotations

from typing import Any, Dict

import numpy


def to_pandas(waveform: Any, columns: Dict[str, numpy.ndarray]) -> Any:
    import pandas

    frame = pandas.DataFrame(columns)
    frame.attrs.update(waveform.header())
    return frame


def to_xarray(waveform: Any, columns: Dict[str, numpy.ndarray]) -> Any:
    import xarray

    times = columns["time"]
    variables = {name: ("time", array) for name, array in columns.items() if name != "time"}
    # attrs hold no None, so that the dataset can be written to netCDF.
    attrs = {key: value for key, value in waveform.header().items() if value is not None}
    return xarray.Dataset(variables, coords={"time": times}, attrs=attrs)
