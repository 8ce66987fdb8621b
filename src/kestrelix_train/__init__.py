"""Training side of the agent platform."""
