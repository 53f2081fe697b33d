# Compiler settings shared by every target of ours (not by third-party code
# such as GoogleTest, which is built with its own flags).
add_library(veyra_options INTERFACE)
target_compile_options(veyra_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Werror)

if(WIN32)
  # Unicode Win32 API, Windows 10 as the oldest target, and the C99 printf
  # family so that %zu and %llu mean the same as on Linux.
  target_compile_definitions(veyra_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A00000C
    __USE_MINGW_ANSI_STDIO=1)
  target_link_options(veyra_options INTERFACE -static)
endif()

if(NOT WIN32)
  if(VEYRA_SANITIZE STREQUAL "address")
    set(_veyra_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  elseif(VEYRA_SANITIZE STREQUAL "thread")
    set(_veyra_san -fsanitize=thread -fno-omit-frame-pointer)
  elseif(NOT VEYRA_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VEYRA_SANITIZE must be address, thread or empty")
  endif()
  if(_veyra_san)
    # Applied globally so that GoogleTest and everything else in the process
    # is instrumented alike (TSan needs that).
    add_compile_options(${_veyra_san})
    add_link_options(${_veyra_san})
  endif()
endif()

# veyra_library(<name> SOURCES ... [WIN_SOURCES ...] [POSIX_SOURCES ...]
#               [DEPS ...] [WIN_LIBS ...])
# A subsystem's static library: portable sources build everywhere, *_win
# sources only in the Windows build, *_posix sources only natively.
function(veyra_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;WIN_SOURCES;POSIX_SOURCES;DEPS;WIN_LIBS" ${ARGN})
  set(sources ${ARG_SOURCES})
  if(WIN32)
    list(APPEND sources ${ARG_WIN_SOURCES})
  else()
    list(APPEND sources ${ARG_POSIX_SOURCES})
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC veyra_options ${ARG_DEPS})
  if(WIN32 AND ARG_WIN_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_WIN_LIBS})
  endif()
endfunction()
