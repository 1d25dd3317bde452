# Sourced by scripts/demo and scripts/test: finds the tools and headers a step
# needs and installs the missing Debian packages where that needs no question
# (as root, or through sudo without a password).
#
#   Want NAME PACKAGE WHY   NAME is a command, a file path (with a '/'), or
#                           ?CHECK, a shell function that says whether it is there
#   Have NAME               true when NAME is on the machine
#   InstallWanted           installs what Want collected; false where it cannot
#   Missing                 the packages still missing after that

wanted="" why="" missing=""

Have() {
  case "$1" in
    \?*) "${1#?}" ;;
    */*) [ -e "$1" ] ;;
    *) command -v "$1" >/dev/null 2>&1 ;;
  esac
}

Want() {
  Have "$1" && return 0
  case " $wanted " in *" $2 "*) return 0 ;; esac
  wanted="${wanted:+$wanted }$2"
  case ", $why, " in *", $3, "*) ;; *) why="${why:+$why, }$3" ;; esac
}

InstallWanted() {
  [ -n "$wanted" ] || return 0
  if [ "$(id -u)" = 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    as_root="sudo -n"
  else
    missing="$wanted"
    return 1
  fi
  command -v apt-get >/dev/null 2>&1 || { missing="$wanted"; return 1; }
  echo "Installing $wanted (for $why) ..."
  # ser2net's package would start its own service on the machine's serial
  # ports: the tests run their own ser2net, so the service is masked first.
  case " $wanted " in *" ser2net "*) $as_root systemctl mask ser2net.service >/dev/null 2>&1 || true ;; esac
  $as_root apt-get update -q >/dev/null 2>&1 || true
  # One package that this release lacks must not keep the others out. What
  # apt says is shown only when it fails.
  apt_log=$(mktemp)
  if ! $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $wanted >"$apt_log" 2>&1; then
    for package in $wanted; do
      $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$package" >"$apt_log" 2>&1 ||
        { missing="${missing:+$missing }$package"; grep -E '^E:' "$apt_log" >&2; }
    done
  fi
  rm -f "$apt_log"
  [ -z "$missing" ] || return 1
  wanted="" why=""
}

# The tools and headers of every build: a C++ compiler, CMake and make.
WantBuildTools() {
  Want c++ g++ "the build"
  Want cmake cmake "the build"
  Want make make "the build"
}

# GoogleTest, found by its header and library as its CMake package does.
GTestHeader=/usr/include/gtest/gtest.h
WantGoogleTest() {
  Want "$GTestHeader" libgtest-dev "the tests"
}
