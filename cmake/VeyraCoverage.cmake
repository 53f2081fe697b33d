# Coverage instrumentation (gcov) of the project's own targets: everything
# that links veyra_options, not GoogleTest. Natively and with MinGW-w64 alike;
# scripts/coverage builds the coverage presets and reads the counters.
option(VEYRA_COVERAGE "Instrument the project's targets for gcov" OFF)
if(VEYRA_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "VEYRA_COVERAGE needs gcc (gcov)")
  endif()
  # -O0 keeps the counters on the source lines; updates are atomic because
  # the host's threads run the same code at once.
  target_compile_options(veyra_options INTERFACE --coverage -O0 -fprofile-update=atomic)
  target_link_options(veyra_options INTERFACE --coverage)
endif()
