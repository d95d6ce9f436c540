"""Velmora: state-space filtering on native kernels (``Velmora.kalman``)."""

__version__ = "0.1.0"
