# Sourced by the build scripts: a compiler cache, when the machine has one, makes rebuilds of
# other checkouts cheap. Paths are taken relative to the checkout ($root), so clones in other
# folders share its entries; the build folder is left out of the hash (NOHASHDIR) for the same
# reason. A launcher set by the caller is left as it is.
if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
fi
