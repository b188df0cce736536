# What .ci/run and .ci/check-packages share; sourced from the top of the
# clone, not run.

# Each stage says how many seconds CI has taken so far.
stage() {
  echo "== [${SECONDS} s] $*"
}

fail() {
  echo "CI failed: $*"
  exit 1
}

# The release version, as project() in CMakeLists.txt says it.
version=$(sed -n 's/^project(svfsplit VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)

# What --version of a build of this clone says: the version, or what git
# says of the commit (cmake/version.cmake).
described_version() {
  local header
  header=$(mktemp)
  cmake -DVERSION="$version" -DSOURCE_DIR="$PWD" -DOUTPUT="$header" -P cmake/version.cmake
  sed -n 's/^#define SVFSPLIT_VERSION "\(.*\)"$/\1/p' "$header"
  rm -f "$header"
}

# expect_conversions SAMPLES: what build/svfsplit makes of each sample in
# SAMPLES, kept in SAMPLES/expected/ with its status, for same_bytes.
expect_conversions() {
  local f status
  mkdir -p "$1/expected"
  for f in "$1"/*.svf; do
    cp "$f" "$1/expected/"
    status=0
    (cd "$1/expected" && "$OLDPWD/build/svfsplit" "$(basename "$f")" >/dev/null 2>&1) || status=$?
    echo "$status" > "$1/expected/$(basename "$f" .svf).status"
  done
}

# same_bytes SAMPLES LABEL FOLDER COMMAND...: COMMAND NAME.svf, run with
# NAME.svf copied into FOLDER (its working folder, or a chroot's root),
# converts every sample of SAMPLES to the bytes, and with the status, of
# build/svfsplit (expect_conversions).
same_bytes() {
  local samples=$1 label=$2 folder=$3 f name status compared=0
  shift 3
  for f in "$samples"/expected/*.svf; do
    name=$(basename "$f" .svf)
    cp "$f" "$folder/"
    status=0
    (cd "$folder" && "$@" "$name.svf" >/dev/null 2>&1) || status=$?
    [ "$status" = "$(cat "$samples/expected/$name.status")" ] ||
      fail "$label ends $name.svf with status $status, build/svfsplit with $(cat "$samples/expected/$name.status")"
    cmp -s "$folder/$name.gvf" "$samples/expected/$name.gvf" || fail "$label converts $name.svf otherwise"
    rm -f "$folder/$name.svf" "$folder/$name.gvf"
    compared=$((compared + 1))
  done
  echo "$compared files convert to the same bytes on $label"
}
