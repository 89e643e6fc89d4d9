# Sourced by the build scripts: sets pd_launcher to CMake's compiler-launcher options when
# ccache is installed (none otherwise, so a machine without it still builds), with the cache
# keyed on paths relative to the checkout, and the sloppiness precompiled headers need.
pd_launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$here" CCACHE_NOHASHDIR=true
  export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:+$CCACHE_SLOPPINESS,}pch_defines,time_macros,include_file_mtime,include_file_ctime"
  pd_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
