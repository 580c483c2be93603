"""Utilities backed by native extension modules."""
