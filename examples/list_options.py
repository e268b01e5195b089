"""The solver's options, grouped by category, from get_ipopt_options().

Prints each category with its number of options and the first few of them.
Pass a category name to list all of its options with their descriptions, e.g.
``python examples/list_options.py "Warm Start"``.
"""

import sys
from collections import defaultdict

import vornel

SHOWN_PER_CATEGORY = 3


def main() -> None:
    options = vornel.get_ipopt_options()
    by_category: dict[str, list[str]] = defaultdict(list)
    described: dict[str, str] = {}
    for option in options:
        by_category[option["category"] or "(none)"].append(option["name"])
        described[option["name"]] = option["description_short"]

    if len(sys.argv) > 1:
        names = by_category.get(sys.argv[1])
        if names is None:
            sys.exit(f"no category {sys.argv[1]!r}; categories: {', '.join(sorted(by_category))}")
        for name in names:
            print(f"{name:40s} {described[name]}")
        return

    print(f"{len(options)} options in {len(by_category)} categories")
    for category, names in sorted(by_category.items(), key=lambda item: (-len(item[1]), item[0])):
        shown = ", ".join(names[:SHOWN_PER_CATEGORY])
        more = (
            f", ... ({len(names) - SHOWN_PER_CATEGORY} more)"
            if len(names) > SHOWN_PER_CATEGORY
            else ""
        )
        print(f"{category} ({len(names)}): {shown}{more}")


if __name__ == "__main__":
    main()
