#!/bin/sh
# Doxygen reads the kit's headers through this: their plain // comments become its
# documentation comments, so the headers need no markup of their own. The comment at the
# top of a header describes the file; a comment after code on a line is that line's.
sed -e '1i /// \\file' \
    -e 's|^\( *\)// |\1/// |' \
    -e 's|^\( *\)//$|\1///|' \
    -e 's|\([^ /:"]\)\( \+\)// |\1\2///< |' "$1"
