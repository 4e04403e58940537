"""The research tools: replay of one or several trading days on the simulated exchange, the report,
statistics and pictures of a run, parameter sweeps, and recording of live ticks."""
