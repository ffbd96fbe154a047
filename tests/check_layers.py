#!/usr/bin/env python3
"""Fails when a product source includes a header of a layer above its own. Layers from the bottom: base; config and
net (beside each other, neither includes the other); install; ui; app.

    check_layers.py <project root>
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
rank = {"base": 0, "config": 1, "net": 1, "install": 2, "ui": 3, "app": 4}
sources = [path for layer in rank for path in sorted((root / layer).glob("*")) if path.suffix in (".h", ".cpp")]
violations = []
for path in sources:
    layer = path.parent.name
    for line in path.read_text(encoding="utf-8").splitlines():
        target = re.match(r'\s*#\s*include\s+"([a-z]+)/', line)
        if target and target[1] in rank and target[1] != layer and rank[target[1]] >= rank[layer]:
            violations.append("%s: %s" % (path.relative_to(root), line))
if not sources or violations:
    sys.exit("includes against the layer order:\n  " + "\n  ".join(violations) if sources else "no sources found")
print("%d sources include only their own layer and those below it" % len(sources))
