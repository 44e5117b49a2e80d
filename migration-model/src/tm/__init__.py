"""Tandrel Migration (configuration model stand-in)."""
