# Every 16-digit hexadecimal value at a line's end replaced by its rank of
# first appearance, so that two traces of one program compare equal when their
# handles differ only by where the heap lies.
BEGIN { h = "[0-9A-F]"; re = h h h h h h h h h h h h h h h h "$" }
match($0, re) { v = substr($0, RSTART); if (!(v in id)) id[v] = ++n; $0 = substr($0, 1, RSTART - 1) "#" id[v] }
{ print }
