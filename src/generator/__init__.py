"""Tandrel generator: prepares the migration of AWS VPC networks."""

# The one place the version is written: the distribution's metadata reads it from here when built.
__version__ = "0.1.0"
