"""The two builds a bench sets side by side: --before DIR (optional) and
--after DIR (default build/bin), each a build's bin directory."""


def add_build_options(ap):
    ap.add_argument("--before")
    ap.add_argument("--after", default="build/bin")


def parse(ap):
    """Adds the two options to ap and reads the command line: the arguments,
    and (label, bin directory) of each build measured, "before" first when
    given."""
    add_build_options(ap)
    args = ap.parse_args()
    builds = [("before", args.before)] if args.before else []
    builds.append(("after", args.after))
    return args, builds
