#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source, script and build file says its licence in its first lines,
# so tools and packagers can read it file by file:
#   licence.sh SOURCE_DIR
set -euo pipefail
cd "$1"

missing=0
while IFS= read -r -d '' file; do
    if ! head -n 3 "$file" | grep -q 'SPDX-License-Identifier: \(MIT\|CC0-1.0\)'; then
        echo "no licence line: $file"
        missing=1
    fi
done < <(find . \( -path ./.git -o -path './build*' -o -path ./fuzz/seeds \) -prune -o -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name CMakeLists.txt \
       -o -name '*.desktop' -o -name '*.xml' -o -name '*.6' \
       -o -path ./run -o -path ./test -o -path ./.ci/run -o -path './scripts/*' \
       -o -path ./bench/run -o -path ./fuzz/run -o -path ./assets/artgen/redraw \) -print0)
exit $missing
