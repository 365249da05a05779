#!/usr/bin/env bash
# Every test: the host tests, the image, flash and road checks, and the OVMF
# scenarios. Arguments go to ctest in place of its default -j 2: -j N, and
# -R/-E (test names) or -L/-LE (labels) with a regular expression; anything
# else is refused before anything is built. A filter that matches no test
# fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="scripts/test.sh [-j N] [-R|-E|-L|-LE REGEX]..."
for ((i = 1; i <= $#; i++)); do
  case ${!i} in
    -j[0-9]*) ;;
    -j | -R | -E | -L | -LE)
      if ((i == $#)); then
        echo "test.sh: ${!i} needs a value (usage: $usage)" >&2
        exit 2
      fi
      ((++i));;
    *)
      echo "test.sh: unknown argument ${!i} (usage: $usage)" >&2
      exit 2;;
  esac
done
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
(($#)) || set -- -j 2
ctest --test-dir "${BUILD_DIR:-$root/build}" --output-on-failure --no-tests=error "$@"
