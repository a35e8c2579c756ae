"""Training pipeline for the initial-parameter networks shipped in src/models."""
