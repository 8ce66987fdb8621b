"""Utilities of the training side."""
