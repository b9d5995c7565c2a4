#!/bin/sh
# check-objcxx.sh SOURCE_DIR: compiles the macOS build's Objective-C++ file against GNUstep's
# Foundation and AppKit headers, as far as Linux can check it (syntax, types, messages).
set -eu
flags=$(gnustep-config --objc-flags | sed 's/-MMD//; s/-MP//; s#-I/usr/include/GNUstep#-isystem /usr/include/GNUstep#')
# shellcheck disable=SC2086
exec g++ -x objective-c++ -std=c++17 $flags -Wall -Wextra -Werror -I"$1/Source" -fsyntax-only "$1/Source/MacWorkspace.mm"
