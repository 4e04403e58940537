"""The research tools: replay of one or several trading days on the simulated exchange, the report,
statistics and pictures of a run, parameter sweeps, recording of live ticks, and generated trading
days of full length."""
