"""The two builds a bench sets side by side: --before DIR (optional) and
--after DIR (default build/bin), each a build's bin directory."""


def add_build_options(ap):
    ap.add_argument("--before")
    ap.add_argument("--after", default="build/bin")


def builds(args):
    """(label, bin directory) of each build measured, "before" first when given."""
    out = [("before", args.before)] if args.before else []
    out.append(("after", args.after))
    return out
