"""A plugin that registers the same device as mirvak-demo-plugin."""
