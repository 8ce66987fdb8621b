"""Core agent library: spaces, sensors, perceptors and skill selectors."""
