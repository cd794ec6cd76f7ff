# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (i686, the posix thread variant, whose
# libstdc++ has std::thread and std::mutex on winpthreads).
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DBOOST_ROOT=$HOME/.cache/tarvo-logger/boost-mingw-i686-1.74
#
# BOOST_ROOT is the prefix that scripts/build-boost-mingw.sh prints: it holds Boost's headers and
# the compiled Thread, System and Filesystem libraries for this target. Executables built here run
# on Linux under Wine (scripts/wine-env.sh).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Headers and libraries of the target come from the mingw sysroot and from BOOST_ROOT only; the
# build machine's own /usr/include and /usr/lib must never be picked up. Programs (wine, python)
# are still looked up on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
if(BOOST_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${BOOST_ROOT})
elseif(DEFINED ENV{BOOST_ROOT})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{BOOST_ROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime is linked dynamically by default (libstdc++-6.dll, libgcc_s_dw2-1.dll,
# libwinpthread-1.dll): the host library, the plug-in and the clients pass C++ objects, shared
# pointers and exceptions to one another, and i686 unwinds with DWARF-2 tables that one shared
# libgcc must see for every module, or an exception thrown in one DLL and caught in another ends
# the process. MINGW_RUNTIME_DIRS lists where those DLLs live, for WINEPATH or for copying them
# beside the executables. MINGW_STATIC_RUNTIME=ON links them into every module instead, which is
# only safe for a program that is one module.
set(MINGW_RUNTIME_DIRS /usr/lib/gcc/${MINGW_TRIPLE}/12-posix /usr/${MINGW_TRIPLE}/lib)
option(MINGW_STATIC_RUNTIME "Link libgcc, libstdc++ and winpthreads into every module" OFF)
if(MINGW_STATIC_RUNTIME)
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")
  endforeach()
endif()

# Windows 7 is the oldest target: it has everything Boost.Asio and the loader use.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")

# CTest, gtest_discover_tests and add_custom_command start target programs through Wine, with
# the prefix inside this build tree and the runtime and Boost DLLs on WINEPATH.
find_program(WINE_PROGRAM NAMES wine)
if(WINE_PROGRAM AND CMAKE_BINARY_DIR)
  set(_boost_root "${BOOST_ROOT}")
  if(NOT _boost_root AND DEFINED ENV{BOOST_ROOT})
    set(_boost_root "$ENV{BOOST_ROOT}")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env "BOOST_ROOT=${_boost_root}" bash "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-env.sh" run
      "${CMAKE_BINARY_DIR}")
endif()
