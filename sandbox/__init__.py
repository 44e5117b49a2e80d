"""Local stand-ins for the outside services: a Corvane Controller and a seeded AWS (moto)."""
