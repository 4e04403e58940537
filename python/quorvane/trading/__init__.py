"""The trading core: the runtime's ctypes declarations and records, Client, Strategy and its order
verbs, codes, timers and bars, and the market's time (trading hours, calendar, sessions)."""
