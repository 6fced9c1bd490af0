"""Package index queries and the settings they read."""
