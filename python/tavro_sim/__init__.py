"""Control API of the simulated TAVRO adapter."""
