"""Velmora's native extension modules and the C headers of what they export."""

import os

__all__ = ["get_include"]


def get_include():
    """Return the folder that holds the C headers of the exported functions.

    Compile a native consumer with ``-I`` this folder and include the headers
    by their path below it::

        cc -I "$(python3 -c 'import Velmora._ckernels as k; print(k.get_include())')" ...

        #include "_common/vlm_linalg.h"    /* every module: linear algebra */
        #include "_common/as241.h"         /* every module: normal quantile */
        #include "transforms/transforms.h" /* _transforms only */
        #include "optim/optim.h"           /* _optim only */

    The headers live beside the modules, so the same folder serves an
    installed package and a build in the source tree.
    """
    return os.path.dirname(os.path.abspath(__file__))
