# The 32-bit runtime that the i686 tests run in (sourced by scripts/setup, after its log,
# as_root and main_binary_entry). On a kernel that cannot execute 32-bit programs, i386
# programs are handed to qemu-i386 (10.0 or newer: older ones spend 80-106 s of CPU
# starting each Wine process) through one binfmt_misc entry, and 32-bit Wine is Debian's
# wine32:i386 unpacked into a private tree instead of installed (installing it would
# upgrade many amd64 libraries). Everything downloaded comes through a private apt
# configuration from the machine's own Debian archive, with apt's signature checks.
#
# runtime32_prepare writes the outcome for scripts/lib/wine.sh: RUNTIME32_DIR/runtime.env,
# or RUNTIME32_DIR/unavailable holding the one-line reason.

RUNTIME32_DIR=$CACHE_ROOT/runtime32
RUNTIME32_QEMU_MINIMUM=10.0
RUNTIME32_ENTRY=corvane-i386
BINFMT=/proc/sys/fs/binfmt_misc
# The i386 ELF executable header, as Debian's qemu-user registers it.
RUNTIME32_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
RUNTIME32_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

runtime32_prepare() {
  mkdir -p "$RUNTIME32_DIR"
  rm -f "$RUNTIME32_DIR/runtime.env" "$RUNTIME32_DIR/unavailable"
  runtime32_set_up 2>&1 >/dev/null | tee "$RUNTIME32_DIR/set-up.log" >&2 || true
  [ -f "$RUNTIME32_DIR/runtime.env" ] && return 0
  local reason
  reason=$(tail -n1 "$RUNTIME32_DIR/set-up.log" | sed 's/^\[setup\] //')
  echo "${reason:-the 32-bit runtime could not be set up}" >"$RUNTIME32_DIR/unavailable"
  log "no 32-bit runtime: $(cat "$RUNTIME32_DIR/unavailable")"
}

# Every step logs on stderr; the last line said is the reason when it ends without
# runtime.env.
runtime32_set_up() {
  local probe=$RUNTIME32_DIR/probe32
  runtime32_make_probe "$probe" || { echo "cannot assemble the 32-bit probe (as --32, ld -m elf_i386)" >&2; return 1; }
  local handlers
  handlers=$(runtime32_i386_handlers "$probe")
  if [ -z "$handlers" ] && runtime32_runs "$probe"; then
    runtime32_use_native_wine32
    return
  fi
  local name interpreter ours_registered=0
  while read -r name interpreter; do
    [ -n "$name" ] || continue
    if [ "$name" = "$RUNTIME32_ENTRY" ]; then ours_registered=1; continue; fi
    runtime32_can_change || return 1
    log "removing binfmt_misc entry $name: it hands i386 programs to $interpreter"
    echo -1 | as_root tee "$BINFMT/$name" >/dev/null
  done <<<"$handlers"
  # An entry of ours registered in this boot means an earlier run found no native support.
  if [ "$ours_registered" = 1 ] && runtime32_qemu_is_current "$probe"; then
    runtime32_prepare_wine32 "$(runtime32_qemu_version "$probe")"
    return
  fi
  runtime32_can_change || return 1
  if [ "$ours_registered" = 1 ]; then
    log "removing binfmt_misc entry $RUNTIME32_ENTRY: its interpreter is not qemu-i386 >= $RUNTIME32_QEMU_MINIMUM"
    echo -1 | as_root tee "$BINFMT/$RUNTIME32_ENTRY" >/dev/null
  fi
  if runtime32_runs "$probe"; then
    runtime32_use_native_wine32
    return
  fi
  runtime32_register_qemu "$probe" || return 1
  runtime32_prepare_wine32 "$(runtime32_qemu_version "$probe")"
}

# A static i386 program that only exits with status 32: no libraries, so it runs wherever
# i386 code runs at all.
runtime32_make_probe() {
  local probe=$1
  [ -x "$probe" ] && return 0
  printf '.globl _start\n_start:\n movl $1, %%eax\n movl $32, %%ebx\n int $0x80\n' >"$probe.s"
  as --32 -o "$probe.o" "$probe.s" && ld -m elf_i386 -o "$probe" "$probe.o"
  local status=$?
  rm -f "$probe.s" "$probe.o"
  return "$status"
}

runtime32_runs() { "$1" >/dev/null 2>&1; [ $? = 32 ]; }

# Enabled binfmt_misc entries whose magic matches the probe's header: "NAME INTERPRETER" lines.
runtime32_i386_handlers() {
  [ -f "$BINFMT/status" ] || return 0
  /usr/bin/python3 - "$1" "$BINFMT" <<'PY'
import os, sys
header = open(sys.argv[1], "rb").read(256)
for name in sorted(os.listdir(sys.argv[2])):
    if name in ("register", "status"):
        continue
    try:
        lines = open(os.path.join(sys.argv[2], name)).read().splitlines()
    except OSError:
        continue
    fields = dict(line.split(" ", 1) for line in lines if " " in line)
    if "enabled" not in lines or "magic" not in fields:
        continue
    offset, magic = int(fields.get("offset", "0")), bytes.fromhex(fields["magic"])
    mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
    window = header[offset:offset + len(magic)]
    if len(window) == len(magic) and all(h & m == g & m for h, m, g in zip(window, mask, magic)):
        print(name, fields.get("interpreter", "?"))
PY
}

# Whether this run may change the machine: root (or sudo without a password) and binfmt_misc.
runtime32_can_change() {
  if [ "$(id -u)" != 0 ] && ! sudo -n true 2>/dev/null; then
    echo "the kernel cannot run 32-bit programs, and registering qemu-i386 for them needs root" >&2
    return 1
  fi
  if [ ! -f "$BINFMT/status" ]; then
    log "mounting binfmt_misc on $BINFMT"
    as_root mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null || {
      echo "the kernel cannot run 32-bit programs and offers no binfmt_misc to hand them to qemu-i386" >&2
      return 1
    }
  fi
}

# The version of the qemu that runs i386 programs now (QEMU_VERSION makes it print it and
# exit), or nothing when no qemu does.
runtime32_qemu_version() {
  QEMU_VERSION=1 "$1" 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9][0-9.]*\).*/\1/p'
}

runtime32_qemu_is_current() {
  local version
  version=$(runtime32_qemu_version "$1")
  [ -n "$version" ] && dpkg --compare-versions "$version" ge "$RUNTIME32_QEMU_MINIMUM"
}

# Native i386: Wine's 32-bit half must then be the machine's own.
runtime32_use_native_wine32() {
  # Byte 5 of an ELF header is its class: 1 for 32-bit.
  if [ "$(od -An -tu1 -j4 -N1 /usr/lib/wine/wine 2>/dev/null | tr -d ' ')" != 1 ]; then
    echo "this kernel runs 32-bit programs itself, but 32-bit Wine is not installed (apt-get install wine32:i386)" >&2
    return 1
  fi
  log "32-bit programs run natively; 32-bit Wine: /usr/lib/wine/wine"
  printf 'RUNTIME32_KIND=native\nRUNTIME32_WINE=/usr/lib/wine/wine\nRUNTIME32_LD_PREFIX=\n' >"$RUNTIME32_DIR/runtime.env"
}

# --- private apt: the machine's Debian archive and its backports suite ----------------

runtime32_apt_options() {
  local apt=$RUNTIME32_DIR/apt
  printf '%s\n' -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d" \
    -o "Dir::State::Lists=$apt/lists" -o "Dir::State::status=$apt/status" -o "Dir::Cache=$apt/cache" \
    -o "Dir::Cache::Archives=$apt/archives" -o "APT::Architectures::=$(dpkg --print-architecture)" \
    -o "APT::Architectures::=i386"
  # A download as root into root's cache runs as root; said here, so apt does not warn.
  [ "$(id -u)" = 0 ] && printf '%s\n' -o APT::Sandbox::User=root
}

runtime32_apt() {
  local options
  mapfile -t options < <(runtime32_apt_options)
  apt-get -q "${options[@]}" "$@"
}

# The machine's main Debian entry, and the same with its release's backports suite added.
# An empty status file: nothing counts as installed, so the i386 closure is downloaded
# whole and no amd64 package of the machine is touched or consulted.
runtime32_apt_prepare() {
  local apt=$RUNTIME32_DIR/apt entry codename
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache" "$apt/archives/partial"
  : >"$apt/status"
  : >"$apt/sources.list"
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "no VERSION_CODENAME in /etc/os-release to name the backports suite" >&2; return 1; }
  if entry=$(main_binary_entry); then
    printf 'Types: deb\n%s\n' "$entry" | sed -E "s/^(Suites:.*)$/\1 $codename-backports/" \
      >"$apt/sources.list.d/debian.sources"
  elif entry=$(grep -E '^deb[[:space:]]' /etc/apt/sources.list 2>/dev/null | grep -v -- '-security' | head -n1) && [ -n "$entry" ]; then
    { echo "$entry"; echo "$entry" | awk -v suite="$codename-backports" '{
        for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $(i - 1) !~ /^\[/ && $i ~ /:\/\//) { $(i + 1) = suite; break } print }'
    } >"$apt/sources.list.d/debian.list"
  else
    echo "no Debian entry in /etc/apt/sources.list.d/*.sources or /etc/apt/sources.list to fetch qemu-user and wine32 from" >&2
    return 1
  fi
  runtime32_apt update -qq >&2 || { echo "apt-get update of the private package lists failed" >&2; return 1; }
  runtime32_apt_ready=1
}
runtime32_apt_ready=0

# --- qemu-user from backports, and the binfmt_misc entry --------------------------------

runtime32_register_qemu() {
  local probe=$1
  runtime32_apt_prepare || return 1
  local version
  version=$(runtime32_apt_newest qemu-user)
  if [ -z "$version" ] || ! dpkg --compare-versions "${version#*:}" ge "$RUNTIME32_QEMU_MINIMUM"; then
    echo "the machine's Debian archive offers no qemu-user >= $RUNTIME32_QEMU_MINIMUM (newest: ${version:-none})" >&2
    return 1
  fi
  local unpacked=$RUNTIME32_DIR/qemu-user-${version#*:}
  if [ ! -x "$unpacked/usr/bin/qemu-i386" ]; then
    log "fetching qemu-user $version (private apt, the machine's backports suite)"
    local download=$RUNTIME32_DIR/qemu-download
    rm -rf "$download" "$unpacked.tmp"; mkdir -p "$download"
    (cd "$download" && runtime32_apt download -qq "qemu-user=$version" >&2) || { echo "downloading qemu-user $version failed" >&2; return 1; }
    # Only the i386 emulator is kept, of the package's many.
    mkdir -p "$unpacked.tmp"
    dpkg-deb --fsys-tarfile "$download"/qemu-user_*.deb | tar -x -C "$unpacked.tmp" ./usr/bin/qemu-i386 \
      && mv "$unpacked.tmp" "$unpacked"
    rm -rf "$download"
  fi
  local interpreter
  interpreter=$(runtime32_interpreter_place "$unpacked/usr/bin/qemu-i386" "${version#*:}") || return 1
  log "registering binfmt_misc entry $RUNTIME32_ENTRY: i386 programs to $interpreter (flags F, P)"
  printf ':%s:M::%s:%s:%s:FP\n' "$RUNTIME32_ENTRY" "$RUNTIME32_MAGIC" "$RUNTIME32_MASK" "$interpreter" \
    | as_root tee "$BINFMT/register" >/dev/null || { echo "binfmt_misc refused the $RUNTIME32_ENTRY entry" >&2; return 1; }
  # Whatever the entries say, this is the interpreter that really runs i386 programs now.
  local running
  running=$(runtime32_qemu_version "$probe")
  if ! runtime32_qemu_is_current "$probe"; then
    echo "i386 programs still run under ${running:+qemu-i386 $running}${running:-another interpreter}, not qemu-i386 >= $RUNTIME32_QEMU_MINIMUM" >&2
    return 1
  fi
  log "i386 programs now run under qemu-i386 $running"
}

# apt-cache madison lists a package's versions newest first, whatever their pins.
runtime32_apt_newest() {
  local options
  mapfile -t options < <(runtime32_apt_options)
  apt-cache "${options[@]}" madison "$1" | awk -F'|' 'NR == 1 { gsub(/ /, "", $2); print $2 }'
}

# The F entry keeps the interpreter open and runs every i386 program on the machine with
# it: it must sit where only root can change it. The cache serves when every folder up to
# / is root's and writable by no one else; otherwise a root-owned copy is made.
runtime32_interpreter_place() {
  local cached=$1 version=$2
  if runtime32_root_only "$cached"; then echo "$cached"; return; fi
  local placed=/usr/local/lib/corvane-installer/qemu-i386-$version
  if [ ! -x "$placed" ] || ! cmp -s "$cached" "$placed"; then
    log "installing $placed (root-owned: the binfmt_misc entry's interpreter)"
    as_root install -d -o root -g root -m 755 "$(dirname "$placed")" \
      && as_root install -o root -g root -m 755 "$cached" "$placed" || { echo "cannot install $placed" >&2; return 1; }
  fi
  runtime32_root_only "$placed" || { echo "$placed is not root-owned and closed to others" >&2; return 1; }
  echo "$placed"
}

runtime32_root_only() {
  local path
  path=$(readlink -f "$1")
  case $path in /tmp/*|/var/tmp/*|/dev/shm/*) return 1 ;; esac
  while :; do
    local owner mode
    read -r owner mode < <(stat -c '%u %a' "$path")
    [ "$owner" = 0 ] && [ $((8#$mode & 8#022)) = 0 ] || return 1
    [ "$path" = / ] && return 0
    path=$(dirname "$path")
  done
}

# --- 32-bit Wine: wine32:i386 of the installed wine64's version, unpacked privately -----

runtime32_prepare_wine32() {
  local qemu_version=$1 version tree
  version=$(dpkg-query -W -f='${Version}' wine64)
  tree=$RUNTIME32_DIR/wine32-$version
  if [ ! -x "$tree/usr/lib/wine/wine" ]; then
    [ "$runtime32_apt_ready" = 1 ] || runtime32_apt_prepare || return 1
    log "fetching wine32:i386 $version and its i386 libraries (private apt; unpacked, not installed)"
    runtime32_apt install -qq -y --download-only --no-install-recommends "wine32:i386=$version" >&2 \
      || { echo "downloading wine32:i386 $version failed" >&2; return 1; }
    rm -rf "$tree.tmp"; mkdir -p "$tree.tmp"
    local package
    for package in "$RUNTIME32_DIR/apt/archives/"*_i386.deb; do dpkg-deb -x "$package" "$tree.tmp"; done
    runtime32_finish_wine32 "$tree.tmp" || return 1
    mv "$tree.tmp" "$tree"
    runtime32_apt clean
  fi
  printf 'RUNTIME32_KIND="qemu-i386 %s"\nRUNTIME32_WINE=%s\nRUNTIME32_LD_PREFIX=%s\n' \
    "$qemu_version" "$tree/usr/lib/wine/wine" "$tree" >"$RUNTIME32_DIR/runtime.env"
}

# What the packages' scripts would have done: zlib1.dll made a Wine builtin from
# mingw-w64's (as libwine's postinst does), and a library cache of the tree's own, so that
# no i386 library resolves to a file of the host.
runtime32_finish_wine32() {
  local tree=$1
  local zlib=/usr/i686-w64-mingw32/lib/zlib1.dll builtin=$tree/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  [ -f "$zlib" ] || { echo "$zlib is missing (libz-mingw-w64)" >&2; return 1; }
  { head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } >"$builtin"
  printf 'include /etc/ld.so.conf.d/*.conf\n' >"$tree/etc/ld.so.conf"
  ldconfig -r "$tree" || { echo "ldconfig -r $tree failed" >&2; return 1; }
}
