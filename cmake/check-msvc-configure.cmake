# Configures the MSVC branch of the build on Linux, with LLVM's MSVC-style
# tools standing in for Visual Studio (clang-cl for cl, llvm-rc for rc,
# lld-link for link, llvm-lib for lib) and windmc for mc.exe (same -u -U
# options), then reads the generated build: the service, diagctl and
# VqError.dll must be there, built by the MSVC commands, and nothing of the
# Linux build (mingw-w64 compilers and flags, Wine, GoogleTest sources, the
# scripts) may appear. Nothing is compiled. Run by CTest:
#   cmake -DSOURCE_DIR=dir -DWORK_DIR=dir -P check-msvc-configure.cmake
# Prints "SKIPPED:" when a stand-in tool is missing.
find_program(standin_cl NAMES clang-cl clang-cl-14 NO_CACHE)
find_program(standin_rc NAMES llvm-rc llvm-rc-14 NO_CACHE)
find_program(standin_link NAMES lld-link lld-link-14 NO_CACHE)
find_program(standin_lib NAMES llvm-lib llvm-lib-14 NO_CACHE)
find_program(standin_mc NAMES x86_64-w64-mingw32-windmc NO_CACHE)
foreach(role cl rc link lib mc)
  if(NOT standin_${role})
    message("SKIPPED: no stand-in for ${role} found")
    return()
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
# An empty root for packages: a Windows machine with only Visual Studio has
# no GoogleTest package, whatever this host has installed.
file(MAKE_DIRECTORY ${WORK_DIR}/no-packages)
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja
          -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64
          -DCMAKE_C_COMPILER=${standin_cl} -DCMAKE_CXX_COMPILER=${standin_cl}
          -DCMAKE_RC_COMPILER=${standin_rc} -DCMAKE_LINKER=${standin_link} -DCMAKE_AR=${standin_lib}
          -DVQ_MC_COMPILER=${standin_mc}
          # The stand-in has no Windows SDK libraries to link a test program with.
          -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY
          -DCMAKE_FIND_ROOT_PATH=${WORK_DIR}/no-packages -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
          -DCMAKE_BUILD_TYPE=RelWithDebInfo
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the MSVC branch does not configure:\n${out}")
endif()

file(READ ${WORK_DIR}/build/build.ninja ninja)
set(problems)
foreach(expected
    "build bin/ReRiruRuvazor.exe: CXX_EXECUTABLE_LINKER"
    "build bin/diagctl.exe: CXX_EXECUTABLE_LINKER"
    "build bin/VqError.dll: C_MODULE_LIBRARY_LINKER"
    "/NOENTRY"
    "vq_utf16.exe ${SOURCE_DIR}/messages/VqMessages.mc"
    "${standin_mc} -u -U ")
  string(FIND "${ninja}" "${expected}" at)
  if(at EQUAL -1)
    list(APPEND problems "missing: ${expected}")
  endif()
endforeach()
foreach(foreign x86_64-w64-mingw32-g x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump
                wine googletest -municode -static -nostdlib "-Wl," "-Wall" "${SOURCE_DIR}/scripts/")
  string(FIND "${ninja}" "${foreign}" at)
  if(NOT at EQUAL -1)
    string(SUBSTRING "${ninja}" ${at} 120 context)
    list(APPEND problems "from the Linux build: ${foreign} in \"${context}\"")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} -N WORKING_DIRECTORY ${WORK_DIR}/build OUTPUT_VARIABLE tests)
if(NOT tests MATCHES "Total Tests: 0")
  list(APPEND problems "tests were set up without a GoogleTest package:\n${tests}")
endif()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "the MSVC build configured with stand-ins:\n  ${text}")
endif()
message(STATUS "The MSVC branch configures with stand-ins for Visual Studio: the service, diagctl and "
               "VqError.dll with MSVC commands only; no tests, no Wine, no mingw-w64")
