"""Velmora: parameter estimation with a native numerical core."""

__version__ = "0.1.0"
