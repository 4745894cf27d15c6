"""The simulated machine on the Linux host: the Wine layer (wine), the machine (machine), the
driver simulator's records (driver), the event-journal store (journals), the debug log (logs) and
nvxsim's command line (cli). Standard library only."""
