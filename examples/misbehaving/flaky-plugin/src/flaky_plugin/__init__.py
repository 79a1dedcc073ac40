"""A plugin whose dependency is not installed."""
