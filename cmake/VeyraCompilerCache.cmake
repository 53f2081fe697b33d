# Rebuilds of the same sources (another preset's tree, a second checkout, a
# clean clone) reuse earlier compilations when ccache is installed. Paths are
# hashed relative to the source tree, so checkouts in different folders share
# one cache.
option(VEYRA_CCACHE "Compile through ccache when it is installed" ON)
find_program(VEYRA_CCACHE_PROGRAM ccache)
if(VEYRA_CCACHE AND VEYRA_CCACHE_PROGRAM)
  set(veyra_launcher
      ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=true
      ${VEYRA_CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${veyra_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${veyra_launcher})
endif()
