// The shared library is the static core linked whole; this unit only anchors the target.
