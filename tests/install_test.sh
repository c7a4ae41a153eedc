#!/usr/bin/env bash
# The installed tree and the Debian packages, used as an operator would:
#   install_test.sh tree       cmake --install into a staging root (DESTDIR),
#                              and once more with --prefix
#   install_test.sh packages   CPack's packages: control fields, file lists,
#                              then unpacked into a scratch root
# Either way the installed vxsink runs the installed plug-in against a
# loopback receiver, and no installed program or library looks into the
# build or source tree for its libraries.
#
# Run by CTest, which passes the build's settings in the environment:
# VX_BUILD_DIR, VX_SOURCE_DIR, VX_VERSION, VX_PREFIX, VX_PLUGIN_DIR, VX_BINDIR,
# VX_PRIVATE_LIBDIR, VX_DOCDIR, VX_MANDIR, VX_MANPAGE (empty: not built),
# VX_RECEIVER, CMAKE, CPACK.
set -euo pipefail
mode="${1:?usage: install_test.sh tree|packages}"

# Nothing may reach the build tree's libraries by the environment.
unset LD_LIBRARY_PATH LD_PRELOAD

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vx-install.XXXXXX")"
receiver_pid=""
cleanup() {
  if [ -n "$receiver_pid" ]; then
    kill "$receiver_pid" 2>/dev/null || true
    wait "$receiver_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A directory setting under a prefix, unless it is absolute already.
under() {
  case "$2" in
    /*) echo "$2" ;;
    *) echo "$1/$2" ;;
  esac
}

# The files (and links) that an install under PREFIX must hold, and only
# those; with a component (plugin, tools), only that one's.
expected_files() {
  local prefix="$1" component="${2:-}" docdir plugin_dir
  docdir="$(under "$prefix" "$VX_DOCDIR")"
  plugin_dir="$(under "$prefix" "$VX_PLUGIN_DIR")"
  if [ "$component" != tools ]; then
    echo "$plugin_dir/libvornix-sink-http.so"
    echo "$plugin_dir/libvornix-sink-http.so.0"
    echo "$docdir/README.md"
    echo "$docdir/copyright"
    echo "$docdir/examples/sink-http.json"
    [ ! -f "$VX_SOURCE_DIR/examples/sink-http.schema.json" ] || echo "$docdir/examples/sink-http.schema.json"
  fi
  if [ "$component" != plugin ]; then
    echo "$(under "$prefix" "$VX_BINDIR")/vxsink"
    echo "$(under "$prefix" "$VX_PRIVATE_LIBDIR")/libvornixd.so.25"
    echo "$(under "$prefix" "$VX_PRIVATE_LIBDIR")/libvornixd.so.25.0.0"
    echo "$(dirname "$docdir")/vornix-sink-http-tools/copyright"
    [ -z "$VX_MANPAGE" ] || echo "$(under "$prefix" "$VX_MANDIR")/man1/vxsink.1.gz"
  fi
}

# Compares two sorted lists, naming what is missing and what is extra.
same_files() {
  local what="$1" expected="$2" actual="$3"
  if diff -u "$expected" "$actual" >"$work/files.diff"; then
    pass "$what holds exactly the expected files"
  else
    fail "$what: file list differs (- expected, + found):"
    sed -n '3,$p' "$work/files.diff" | grep '^[-+]' >&2 || true
  fi
}

start_receiver() {
  "$VX_RECEIVER" >"$work/received.txt" 2>&1 &
  receiver_pid=$!
  port=""
  for _ in $(seq 100); do
    port="$(sed -n '1s/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/received.txt")"
    [ -n "$port" ] && return 0
    kill -0 "$receiver_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the loopback receiver did not start:" >&2
  cat "$work/received.txt" >&2
  exit 1
}

# Runs the installed programs of the tree under PREFIX (ROOT: what stands for
# the file system's root there, for the run path checks).
check_installed() {
  local label="$1" root="$2" prefix="$3"
  local vxsink plugin private_dir docdir
  vxsink="$(under "$prefix" "$VX_BINDIR")/vxsink"
  plugin="$(under "$prefix" "$VX_PLUGIN_DIR")/libvornix-sink-http.so.0"
  private_dir="$(under "$prefix" "$VX_PRIVATE_LIBDIR")"
  docdir="$(under "$prefix" "$VX_DOCDIR")"

  # vxsink takes our libvornixd from its private directory, nowhere else.
  local resolved
  resolved="$(LD_TRACE_LOADED_OBJECTS=1 "$vxsink" | sed -n 's/^[[:space:]]*libvornixd\.so\.25 => \([^ ]*\).*/\1/p')"
  if [ "$resolved" -ef "$private_dir/libvornixd.so.25" ]; then
    pass "$label: vxsink loads libvornixd from $private_dir"
  else
    fail "$label: vxsink loads libvornixd from '${resolved:-nowhere}', not $private_dir"
  fi

  # Run paths: the plug-in has none (the agent's libvornixd is the one it
  # gets); vxsink's is relative to itself; nothing names the build or source.
  local file dyn
  while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    dyn="$(readelf -d "$file")"
    if grep -E '\((RPATH|RUNPATH)\)' <<<"$dyn" | grep -qF -e "$VX_BUILD_DIR" -e "$VX_SOURCE_DIR"; then
      fail "$label: ${file#"$root"} has a run path into the build or source tree"
    fi
  done < <(find "$root" -type f -print0)
  dyn="$(readelf -d "$plugin")"
  if grep -qE '\((RPATH|RUNPATH)\)' <<<"$dyn"; then
    fail "$label: the plug-in has a run path: $(grep -E '\((RPATH|RUNPATH)\)' <<<"$dyn")"
  else
    pass "$label: the plug-in has no run path"
  fi
  grep -qF '[libvornixd.so.25]' <<<"$dyn" || fail "$label: the plug-in does not need libvornixd.so.25"
  local exports
  exports="$(nm -D --defined-only "$plugin" | awk '$2 ~ /^[A-Z]$/ { print $3 }' | sort | xargs)"
  [ "$exports" = "vxPluginInit vx_plugin_abi" ] || fail "$label: the plug-in exports '$exports'"
  local want="\$ORIGIN/$(realpath -m --relative-to="$(dirname "$vxsink")" "$private_dir")"
  if grep -E '\((RPATH|RUNPATH)\)' <<<"$(readelf -d "$vxsink")" | grep -qF "[$want]"; then
    pass "$label: vxsink's run path is $want"
  else
    fail "$label: vxsink's run path is not $want: $(readelf -d "$vxsink" | grep -E 'R(UN)?PATH' || echo none)"
  fi

  # The identity answers, through the installed plug-in.
  local version
  if version="$("$vxsink" --version --plugin "$plugin" 2>"$work/version.err")"; then
    local line
    for line in "vxsink $VX_VERSION" "plug-in library: vornix-sink-http" \
        "plug-in name: Vornix Agent HTTP Sink Plugin" "plug-in version: $VX_VERSION"; do
      grep -qxF "$line" <<<"$version" || fail "$label: vxsink --version lacks '$line':"$'\n'"$version"
    done
    grep -qE '^libcurl: [0-9]+\.[0-9]+' <<<"$version" || fail "$label: vxsink --version names no libcurl version"
  else
    fail "$label: vxsink --version --plugin failed: $(cat "$work/version.err")"
  fi

  # The manual page covers every option of --help, at this version.
  if [ -n "$VX_MANPAGE" ]; then
    local man option
    man="$(zcat "$(under "$prefix" "$VX_MANDIR")/man1/vxsink.1.gz" | sed 's/\\-/-/g')"
    grep -q "^\.TH .*\"vxsink $VX_VERSION\"" <<<"$man" || fail "$label: the manual page is not for vxsink $VX_VERSION"
    for option in $("$vxsink" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
      grep -qF -- "$option" <<<"$man" || fail "$label: the manual page lacks $option"
    done
  fi

  # One payload, through the installed example configuration pointed at the
  # receiver, with agent variables filled in.
  local marker="install-check-$label-$$"
  sed "s/127\.0\.0\.1:8080/127.0.0.1:$port/g" "$docdir/examples/sink-http.json" >"$work/sink-http.json"
  local before
  before="$(wc -l <"$work/received.txt")"
  if echo "{\"marker\": \"$marker\"}" | timeout 30 "$vxsink" --plugin "$plugin" --config "$work/sink-http.json" \
      --channel alerts --var site_name=install-test --uuid-agent 4a1d-install 2>"$work/run.err"; then
    local got
    got="$(tail -n +"$((before + 1))" "$work/received.txt")"
    if grep -qxF 'POST /ingest/alerts?site=install-test' <<<"$got" &&
        grep -qxF '    X-Agent-UUID: 4a1d-install' <<<"$got" && grep -qF "$marker" <<<"$got"; then
      pass "$label: the installed vxsink and plug-in delivered a payload"
    else
      fail "$label: the receiver did not get the payload; it got:"$'\n'"$got"$'\n'"vxsink said: $(cat "$work/run.err")"
    fi
  else
    fail "$label: vxsink exited $?: $(cat "$work/run.err")"
  fi
}

start_receiver

case "$mode" in
tree)
  stage="$work/stage"
  DESTDIR="$stage" "$CMAKE" --install "$VX_BUILD_DIR" >"$work/install.log" || {
    cat "$work/install.log" >&2
    exit 1
  }
  (cd "$stage" && find . ! -type d | sed 's|^\.||' | sort) >"$work/actual"
  expected_files "$VX_PREFIX" | sort >"$work/expected"
  same_files "the staged install" "$work/expected" "$work/actual"
  check_installed staged "$stage" "$stage$VX_PREFIX"

  # Installed elsewhere with --prefix, the same tree works the same.
  "$CMAKE" --install "$VX_BUILD_DIR" --prefix "$work/opt" >"$work/install.log" || {
    cat "$work/install.log" >&2
    exit 1
  }
  check_installed prefixed "$work/opt" "$work/opt"
  ;;

packages)
  arch="$(dpkg --print-architecture)"
  (cd "$work" && "$CPACK" --config "$VX_BUILD_DIR/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    exit 1
  }
  plugin_deb="$work/packages/vornix-sink-http_${VX_VERSION}_$arch.deb"
  tools_deb="$work/packages/vornix-sink-http-tools_${VX_VERSION}_$arch.deb"
  actual_debs="$(cd "$work/packages" && ls ./*.deb | sed 's|^\./||' | LC_ALL=C sort | xargs)"
  expected_debs="$(printf '%s\n' "$(basename "$plugin_deb")" "$(basename "$tools_deb")" | LC_ALL=C sort | xargs)"
  [ "$actual_debs" = "$expected_debs" ] || fail "packages made: $actual_debs"
  [ -f "$plugin_deb" ] && [ -f "$tools_deb" ] || exit 1

  # Control fields: the project's version; dependencies found from the
  # libraries each package's programs need, never the agent's libvornixd.
  field() { dpkg-deb -f "$1" "$2"; }
  # The package names of a dependency field, one a line.
  names() { tr ',|' '\n\n' | sed 's/^ *//; s/[ :].*//' | sed '/^$/d'; }
  for deb in "$plugin_deb" "$tools_deb"; do
    name="$(basename "$deb")"
    [ "$(field "$deb" Version)" = "$VX_VERSION" ] || fail "$name: version $(field "$deb" Version)"
    depends="$(field "$deb" Depends)"
    for dep in libc6 libcurl4 libstdc++6; do
      names <<<"$depends" | grep -qxF "$dep" || fail "$name: Depends lacks $dep: $depends"
    done
    ! grep -q vornix <<<"$depends" || fail "$name: depends on $depends"
    [ -n "$(field "$deb" Maintainer)" ] || fail "$name: no Maintainer"
    [ -n "$(field "$deb" Description)" ] || fail "$name: no Description"
  done
  [ "$(field "$plugin_deb" Package)" = vornix-sink-http ] || fail "plug-in package named $(field "$plugin_deb" Package)"
  [ "$(field "$tools_deb" Package)" = vornix-sink-http-tools ] || fail "tools package named $(field "$tools_deb" Package)"
  field "$tools_deb" Depends | names | grep -qxF zlib1g || fail "tools: Depends lacks zlib1g"
  [ "$(field "$tools_deb" Recommends)" = vornix-sink-http ] || fail "tools: Recommends '$(field "$tools_deb" Recommends)'"

  # File lists: each package its own part, together the whole install.
  list() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort; }
  list "$plugin_deb" >"$work/plugin.list"
  list "$tools_deb" >"$work/tools.list"
  expected_files /usr plugin | sort >"$work/expected.plugin"
  expected_files /usr tools | sort >"$work/expected.tools"
  same_files "vornix-sink-http" "$work/expected.plugin" "$work/plugin.list"
  same_files "vornix-sink-http-tools" "$work/expected.tools" "$work/tools.list"
  echo "vornix-sink-http:"; sed 's/^/  /' "$work/plugin.list"
  echo "vornix-sink-http-tools:"; sed 's/^/  /' "$work/tools.list"

  root="$work/root"
  dpkg -x "$plugin_deb" "$root"
  dpkg -x "$tools_deb" "$root"
  check_installed unpacked "$root" "$root/usr"
  ;;

*)
  echo "usage: install_test.sh tree|packages" >&2
  exit 2
  ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install_test.sh $mode: all checks passed"
