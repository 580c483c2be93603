"""tamsel: machine identification utilities."""
