#!/bin/bash
# Checks that linecast installs and packages as it should: the man page lints clean, an
# install puts every file in its place, the Debian package carries the right fields and
# files, and the bash completion completes. The man page and the completion must know
# exactly the options that the built linecast's --help lists.
#
# Usage: packaging_test.sh BUILD_DIR SOURCE_DIR [manpage|install|deb|completion]...
# With no check named, all of them run. Exit status 77 means a needed tool is missing (a
# skip for ctest); under CI that is a failure instead, so a missing install step shows.
set -euo pipefail

if (($# < 2)); then
  echo "usage: $0 BUILD_DIR SOURCE_DIR [manpage|install|deb|completion]..." >&2
  exit 2
fi
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
shift 2
checks=("$@")
((${#checks[@]} > 0)) || checks=(manpage install deb completion)

work=$(mktemp -d "${TMPDIR:-/tmp}/linecast-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null && continue
    if [[ -n ${CI:-} ]]; then
      echo "FAIL: $tool is not installed"
      exit 1
    fi
    echo "SKIP: $tool is not installed"
    exit 77
  done
}

# The install directories as this build tree was configured, so that a custom layout is
# checked against itself rather than against the defaults.
cache_value() {
  local value
  value=$(sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt")
  echo "${value:-$2}"
}
bindir=$(cache_value CMAKE_INSTALL_BINDIR bin)
mandir=$(cache_value CMAKE_INSTALL_MANDIR share/man)
datadir=$(cache_value CMAKE_INSTALL_DATADIR share)
completion_rel=$datadir/bash-completion/completions/linecast

manpage_src=$source_dir/doc/linecast.1
completion_src=$source_dir/doc/linecast.bash-completion

# Writes the options the built program's --help lists to $work/help.table, as "NAME VALUES"
# lines: VALUES is how many arguments the option takes, the words between its name and the
# parenthesis that explains it. "--help, -h" gives two names. False when there is no help.
load_help_table() {
  local bin=$build/linecast line count word rc=0
  local -a words
  if [[ ! -x $bin ]]; then
    fail "$bin is not built, so its --help cannot be compared"
    return 1
  fi
  "$bin" --help >"$work/help.out" || rc=$?
  if ((rc != 0)); then
    fail "linecast --help exited with status $rc, not 0"
    return 1
  fi
  while IFS= read -r line; do
    [[ $line == "  -"* ]] || continue
    read -r -a words <<<"$line"
    if [[ ${words[0]} == *, ]]; then
      echo "${words[0]%,} 0"
      echo "${words[1]} 0"
      continue
    fi
    count=0
    for word in "${words[@]:1}"; do
      [[ $word == "("* ]] && break
      count=$((count + 1))
    done
    echo "${words[0]} $count"
  done <"$work/help.out" >"$work/help.table"
}

# The option names (one or two dashes) in the man page lines given on standard input.
man_option_names() {
  sed 's/\\-/-/g' | grep -oE -- '(^|[ "])--?[a-z][a-z0-9-]*' | sed 's/^[ "]//' | sort -u
}

# Compares two sorted lists of names and reports what only one side has.
compare_names() {
  local what=$1 expected=$2 got=$3 missing extra
  missing=$(comm -23 <(echo "$expected") <(echo "$got") | tr '\n' ' ')
  extra=$(comm -13 <(echo "$expected") <(echo "$got") | tr '\n' ' ')
  [[ -z $missing ]] || fail "$what lacks options that --help lists: $missing"
  [[ -z $extra ]] || fail "$what has options that --help does not list: $extra"
}

# Every option --help lists has an entry under OPTIONS and a place in the synopsis, and
# neither names an option that --help does not.
check_manpage_options() {
  local help_names tags synopsis
  load_help_table || return 0
  help_names=$(cut -d' ' -f1 "$work/help.table" | sort -u)
  tags=$(awk '/^\.SH / { in_options = ($0 == ".SH OPTIONS") }
              in_options && tag { print; tag = 0 }
              in_options && /^\.TP/ { tag = 1 }' "$manpage_src" | man_option_names)
  compare_names "the man page's OPTIONS" "$help_names" "$tags"
  synopsis=$(awk '/^\.SH / { in_synopsis = ($0 == ".SH SYNOPSIS") } in_synopsis' \
    "$manpage_src" | man_option_names)
  compare_names "the man page's SYNOPSIS" "$help_names" "$synopsis"
}

# Both linters must stay silent: any message at all, style included, is a failure.
check_manpage() {
  need mandoc groff
  local out
  [[ -f $manpage_src ]] || { fail "$manpage_src is missing"; return; }
  out=$(mandoc -T lint -W all "$manpage_src" 2>&1) || true
  [[ -z $out ]] || fail "mandoc -T lint reports:"$'\n'"$out"
  out=$(groff -ww -man -Tutf8 -z "$manpage_src" 2>&1) || fail "groff failed"
  [[ -z $out ]] || fail "groff -ww reports:"$'\n'"$out"
  grep -q '^\.TH LINECAST 1 ' "$manpage_src" || fail "the man page is not titled LINECAST(1)"
  check_manpage_options
}

# The installed man page may be compressed or not, but must be the one in the source tree.
check_installed_manpage() {
  local dir=$1
  if [[ -f $dir/linecast.1.gz ]]; then
    gzip -dc "$dir/linecast.1.gz" | cmp -s - "$manpage_src" ||
      fail "$dir/linecast.1.gz differs from doc/linecast.1"
  elif [[ -f $dir/linecast.1 ]]; then
    cmp -s "$dir/linecast.1" "$manpage_src" || fail "$dir/linecast.1 differs from doc/linecast.1"
  else
    fail "no man page in $dir"
  fi
}

check_install() {
  need cmake gzip timeout
  local prefix=$work/prefix rc=0 first
  if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install failed"
    return
  fi
  local bin=$prefix/$bindir/linecast
  if [[ ! -x $bin ]]; then
    fail "$bin is missing or not executable"
  else
    # No topic is a usage error: the usage text on standard output and status 255.
    timeout 10 "$bin" </dev/null >"$work/usage.out" 2>"$work/usage.err" || rc=$?
    ((rc == 255)) || fail "linecast without arguments exited $rc, not 255"
    first=$(head -n 1 "$work/usage.out")
    [[ $first == "MQTT linecast" ]] || fail "usage text starts with '$first', not 'MQTT linecast'"
    [[ ! -s $work/usage.err ]] || fail "linecast wrote to standard error: $(cat "$work/usage.err")"
    # The installed binary must not lean on the build tree for its libraries.
    if command -v readelf >/dev/null; then
      local dynamic
      dynamic=$(readelf -d "$bin")
      [[ $dynamic != *"$build"* ]] || fail "$bin keeps a run path into the build tree"
    fi
  fi
  check_installed_manpage "$prefix/$mandir/man1"
  # A link back into the source or build tree would break as soon as that tree goes.
  local link
  link=$(find "$prefix" -type l)
  [[ -z $link ]] || fail "the install has symbolic links: $link"
  if [[ -f $prefix/$completion_rel ]]; then
    cmp -s "$prefix/$completion_rel" "$completion_src" ||
      fail "$prefix/$completion_rel differs from doc/linecast.bash-completion"
  else
    fail "$prefix/$completion_rel is missing"
  fi
}

# True when a Depends value names the package, with or without a version.
depends_on() {
  local item
  local -a items
  IFS=',|' read -r -a items <<<"$1"
  for item in "${items[@]}"; do
    item=${item%%(*}
    item=${item// /}
    [[ $item == "$2" || $item == "$2:any" ]] && return 0
  done
  return 1
}

check_deb() {
  need cpack dpkg-deb dpkg
  [[ -f $build/CPackConfig.cmake ]] || { fail "$build/CPackConfig.cmake is missing"; return; }
  if ! (cd "$build" && cpack -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake") \
    >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack -G DEB failed"
    return
  fi
  local -a debs
  mapfile -t debs < <(find "$work/pkg" -maxdepth 1 -name '*.deb')
  if ((${#debs[@]} != 1)); then
    fail "expected one .deb, found ${#debs[@]}"
    return
  fi
  local deb=${debs[0]} info contents version
  info=$(dpkg-deb -I "$deb")
  echo "$info"
  field() { sed -n "s/^ $1: //p" <<<"$info"; }

  [[ $(field Package) == linecast ]] || fail "Package is '$(field Package)', not linecast"
  version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  [[ -n $version && $(field Version) == "$version" ]] ||
    fail "Version is '$(field Version)', not the project version '$version'"
  [[ $(field Architecture) == "$(dpkg --print-architecture)" ]] ||
    fail "Architecture is '$(field Architecture)', not $(dpkg --print-architecture)"
  [[ $(field Section) == net ]] || fail "Section is '$(field Section)', not net"
  [[ $(field Maintainer) == *@* ]] || fail "Maintainer '$(field Maintainer)' has no address"
  [[ -n $(field Description) ]] || fail "the package has no description"
  # libstdc++6 is due only when the packaged binary actually links the C++ library.
  local -a deps=(libssl3 libc6)
  local dep dynamic
  dpkg-deb -x "$deb" "$work/unpacked"
  if command -v readelf >/dev/null && [[ -f $work/unpacked/usr/$bindir/linecast ]]; then
    dynamic=$(readelf -d "$work/unpacked/usr/$bindir/linecast")
    [[ $dynamic != *"[libstdc++.so.6]"* ]] || deps+=(libstdc++6)
  fi
  for dep in "${deps[@]}"; do
    depends_on "$(field Depends)" "$dep" || fail "Depends '$(field Depends)' lacks $dep"
  done

  contents=$(dpkg-deb -c "$deb")
  echo "$contents"
  grep -E -q "^-rwxr-xr-x root/root .* \./usr/$bindir/linecast\$" <<<"$contents" ||
    fail "the package lacks ./usr/$bindir/linecast, executable and owned by root"
  grep -E -q " \./usr/$mandir/man1/linecast\.1(\.gz)?\$" <<<"$contents" ||
    fail "the package lacks the man page under ./usr/$mandir/man1"
  grep -F -q " ./usr/$completion_rel" <<<"$contents" ||
    fail "the package lacks ./usr/$completion_rel"
  # Everything belongs under /usr: no stray absolute or build-tree paths.
  local stray
  stray=$(awk '$NF != "./" && $NF !~ /^\.\/usr\// {print $NF}' <<<"$contents")
  [[ -z $stray ]] || fail "the package has files outside /usr: $stray"
}

# Runs the completion function as bash would for the given words, the last being completed,
# and prints the candidates one per line.
complete_words() {
  bash --norc --noprofile -c '
    set -euo pipefail
    source "$1"
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _linecast
    ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}"
  ' complete_words "$completion_src" "$@"
}

expect_completion() {
  local expected=$1 got
  shift
  if ! got=$(complete_words "$@" | sort | tr '\n' ' '); then
    fail "completing '$*' failed"
    return
  fi
  got=${got% }
  [[ $got == "$expected" ]] || fail "completing '$*' gave '$got', not '$expected'"
}

# The completion offers exactly the options --help lists: those that come in place of the
# topic first, the others after it. And it skips as many words after each option as --help
# says it takes: if it skips those, the "--qos" that follows is an option and its value gets
# "0 1 2"; with one word too many or too few, something else is offered.
check_completion_options() {
  local help_names offered name count i
  local -a words
  load_help_table || return 0
  help_names=$(cut -d' ' -f1 "$work/help.table" | sort -u)
  offered=$({
    complete_words linecast -
    complete_words linecast top -
  } | sort -u)
  compare_names "the completion" "$help_names" "$offered"
  while read -r name count; do
    [[ $name == --help || $name == -h || $name == --version ]] && continue
    words=(linecast top "$name")
    for ((i = 0; i < count; i++)); do words+=(--qos); done
    expect_completion "0 1 2" "${words[@]}" --qos ""
  done <"$work/help.table"
}

check_completion() {
  [[ -f $completion_src ]] || { fail "$completion_src is missing"; return; }
  bash -n "$completion_src" || { fail "the completion is not valid bash"; return; }
  expect_completion "--qos" linecast top --qo
  expect_completion "--cafile --capath" linecast top --ca
  expect_completion "0 1 2" linecast top --qos ""
  expect_completion "" linecast ""
  # "--qos" here is the host name given to --host, so options are offered after it.
  expect_completion "--qos" linecast top --host --qos --qo
  mkdir -p "$work/certs/dir"
  : >"$work/certs/file.pem"
  expect_completion "$work/certs/dir" linecast top --capath "$work/certs/"
  expect_completion "$work/certs/dir $work/certs/file.pem" linecast top --cafile "$work/certs/"
  expect_completion "0 1 2" linecast top --will-qos ""
  expect_completion "3.1.1 5" linecast top --protocol-version ""
  expect_completion "forever" linecast top --reconnect f
  expect_completion "--help --version -h" linecast -
  # Both words after --user-property are its own, so options are offered after them.
  expect_completion "--qos" linecast top --user-property --qos --qos --qo
  check_completion_options
  # And the function is registered for the command.
  local registered
  registered=$(bash --norc --noprofile -c 'source "$1" && complete -p linecast' _ \
    "$completion_src") || true
  [[ $registered == *"-F _linecast"* ]] || fail "the completion is not registered for linecast"
}

for check in "${checks[@]}"; do
  case $check in
    manpage | install | deb | completion) "check_$check" ;;
    *)
      echo "unknown check: $check" >&2
      exit 2
      ;;
  esac
done

if ((failures > 0)); then
  echo "$failures packaging check(s) failed"
  exit 1
fi
echo "packaging checks passed: ${checks[*]}"
