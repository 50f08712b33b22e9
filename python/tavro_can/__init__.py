"""python-can interface plugin for TAVRO adapters."""
