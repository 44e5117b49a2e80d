"""Configuration model of the Tandrel Migration script."""
