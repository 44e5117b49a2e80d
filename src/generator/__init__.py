"""Tandrel generator: prepares the migration of AWS VPC networks."""

__version__ = "0.1.0"
