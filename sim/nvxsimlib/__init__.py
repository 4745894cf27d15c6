"""The simulated machine on the Linux host: the Wine layer (wine), where the machine keeps what
(layout), the machine (machine, with its parts beside the service in machine_parts), the words for
what its tools answer (texts), the driver simulator's records (driver), the event-journal store
(journals), the debug log (logs) and nvxsim's command line (cli). Standard library only."""
