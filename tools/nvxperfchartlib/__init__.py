"""The code of tools/nvxperfchart: reading perf logs (perflog), drawing them (charts), its command line (cli)."""
