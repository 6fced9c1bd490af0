"""Quorvel master: Python side of the package index tooling."""
