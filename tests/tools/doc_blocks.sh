# Helpers (sourced) for the tests that run the commands of the docs as a reader types them.

# doc_block FILE NAME: the lines between "<!-- NAME -->" and "<!-- /NAME -->" in FILE as a
# reader copies them: without the code fences, and without the indentation that a code block
# inside a numbered step carries.
doc_block() {
  awk -v start="<!-- $2 -->" -v end="<!-- /$2 -->" '
    { marker = $0; sub(/^[ \t]+/, "", marker) }
    marker == start { inside = 1; next }
    marker == end { inside = 0; next }
    inside && marker !~ /^```/ { lines[++count] = $0 }
    END {
      indent = -1
      for (i = 1; i <= count; i++) {
        if (lines[i] !~ /[^ ]/) continue
        match(lines[i], /^ */)
        if (indent < 0 || RLENGTH < indent) indent = RLENGTH
      }
      first = 1; last = count
      while (first <= last && lines[first] !~ /[^ ]/) first++
      while (last >= first && lines[last] !~ /[^ ]/) last--
      for (i = first; i <= last; i++) print substr(lines[i], indent + 1)
    }' "$1"
}

# scratch_checkout ROOT SCRATCH: a link in SCRATCH per top-level entry of ROOT's checkout, so
# that what the commands write (build/, try/, deploy/) is the scratch's own.
scratch_checkout() {
  local entry
  for entry in $(git -C "$1" ls-files | cut -d/ -f1 | sort -u); do ln -s "$1/$entry" "$2/$entry"; done
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# expect DESCRIPTION PATTERN FILE: counts a failure in $failures unless FILE has a line
# matching the extended regular expression.
failures=0
expect() {
  if ! grep -qE -- "$2" "$3"; then echo "FAIL: $1 (no line matching '$2')"; failures=$((failures + 1)); fi
}
fail() {
  echo "FAIL: $*"; failures=$((failures + 1))
}
