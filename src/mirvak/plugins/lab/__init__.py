"""Connections for lab equipment: stacked illumos switches and the netbsd
test bench used by the lab's own test suite."""
