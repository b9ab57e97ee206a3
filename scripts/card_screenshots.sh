#!/bin/bash
# Screenshots of a hand-made page with every card kind and of this machine's
# cpu and topo pages, in a real window under Xvfb: light and dark, English and
# Arabic. Look at them after a change to the
# renderer or the style sheet.
#   scripts/card_screenshots.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/screenshots}
tool="$build/tests/zq_page_shot"
[ -x "$tool" ] || { echo "build first: $tool is missing" >&2; exit 1; }
mkdir -p "$out"
for page in sample cpu topo; do
  for lang in en ar; do
    for theme in light dark; do
      shot="$out/$page-$lang-$theme.png"
      xvfb-run -a -s "-screen 0 1400x1100x24" env GDK_BACKEND=x11 "$tool" "$shot" "$theme" "$lang" 1200 1050 "$page"
      echo "$shot"
    done
  done
done
