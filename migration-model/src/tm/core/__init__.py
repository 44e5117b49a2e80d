"""Core of the Tandrel Migration configuration."""
