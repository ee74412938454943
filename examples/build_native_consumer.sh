#!/bin/sh
# Builds examples/native_consumer.c against the headers of the installed
# Velmora package and the libpython of the same interpreter.
#
#   sh examples/build_native_consumer.sh [OUTPUT]        (default: ./native_consumer)
#
# PYTHON picks the interpreter (default python3), CC the compiler (default cc).
# libpython is linked only to provide the interpreter symbols the extension
# module refers to (see the comment at the top of native_consumer.c). A shared
# libpython is preferred; without one the static archive is linked whole and its
# symbols exported to the module (in an executable without PIE, as the archive
# may hold code that is not position-independent). VLM_LIBPYTHON=static forces
# the archive.
set -eu
here=$(dirname "$0")
out=${1:-native_consumer}

flags=$("${PYTHON:-python3}" - "${VLM_LIBPYTHON:-auto}" <<'EOF'
import os, shlex, sys, sysconfig
import Velmora._ckernels as kernels

var = lambda name: sysconfig.get_config_var(name) or ""
mode = sys.argv[1]
if mode == "auto":
    mode = "shared" if var("Py_ENABLE_SHARED") else "static"
if mode == "shared":
    libdir = var("LIBDIR")
    # Nothing in the program calls libpython: keep a linker that drops unused
    # libraries (--as-needed) from dropping it.
    lib = ["-L" + libdir, "-Wl,-rpath," + libdir, "-Wl,--push-state,--no-as-needed",
           "-lpython" + var("LDVERSION"), "-Wl,--pop-state"]
else:
    candidates = [os.path.join(d, var("LIBRARY")) for d in (var("LIBPL"), var("LIBDIR"))]
    archive = next((c for c in candidates if os.path.isfile(c)), None)
    if archive is None:
        sys.exit("no libpython archive at " + " or ".join(candidates))
    # The archive need not be position-independent (Debian's is not), and a
    # position-independent executable cannot take such code: link without PIE.
    lib = ["-no-pie", "-Wl,--export-dynamic", "-Wl,--whole-archive", archive,
           "-Wl,--no-whole-archive"]
    # Extension modules compiled into the archive (zlib and expat in Debian's)
    # need their libraries; the variable may carry stray line continuations.
    lib += var("MODLIBS").replace("\\", " ").split()
lib += shlex.split(var("LIBS")) + shlex.split(var("SYSLIBS"))
print(" ".join(map(shlex.quote, ["-I" + kernels.get_include(), *lib])))
EOF
)
eval "set -- $flags"
exec "${CC:-cc}" -std=c99 -O2 -Wall -Wextra -o "$out" "$here/native_consumer.c" "$@" -ldl -lm
