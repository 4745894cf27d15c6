"""The rows every benchmark prints for bench/run-all, besides its own report (bench/bench_rows.h
is the same for the Windows programs):

    ROW<TAB>metric<TAB>this project's figure<TAB>reference figure<TAB>ratio<TAB>target<TAB>met

figures as text with their units, the ratio as "0.93x" or "-", the target as text or "-", met one
of yes, no, -."""


def row(metric, ours, reference="-", ratio=None, target="-", met=None):
    """Prints one row; ratio is a number (printed as 1.23x) or None, met True, False or None."""
    ratio_text = "-" if ratio is None else f"{ratio:.2f}x"
    met_text = "-" if met is None else ("yes" if met else "no")
    print("\t".join(["ROW", metric, ours, reference, ratio_text, target, met_text]), flush=True)
