"""Core services of the library: the plugin registry and its errors."""
