# Cross build for 64-bit Windows with Debian's clang instead of gcc, against
# the runtime of the posix-threads mingw-w64 gcc (its libstdc++, libgcc and
# winpthreads) and linked by GNU ld; resource tools, search roots and Wine
# as in mingw-w64-x86_64.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${_triplet})
set(CMAKE_CXX_COMPILER_TARGET ${_triplet})
set(CMAKE_SYSROOT /usr/${_triplet})

# clang finds neither the libstdc++ headers nor the libraries of Debian's
# posix-threads cross gcc (beside them sit those of the win32-threads one,
# which has no std::thread); ask that gcc where they are.
execute_process(COMMAND ${_triplet}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gcc_lib_dir "${_libgcc}" DIRECTORY)
execute_process(COMMAND ${_triplet}-g++-posix -E -x c++ - -v
                INPUT_FILE /dev/null OUTPUT_QUIET ERROR_VARIABLE _search)
string(REGEX MATCH "#include <...> search starts here:\n(.*)End of search list" _search "${_search}")
string(REGEX MATCHALL "[^ \n]+/include/c\\+\\+[^ \n]*" _cxx_dirs "${CMAKE_MATCH_1}")
# Ahead of clang's own search list, for compiling only.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${_cxx_dirs})
# -femulated-tls: that gcc's libstdc++ keeps its thread-local variables
# (std::call_once's) in emulated TLS; clang's native TLS would look for
# symbols it does not have ("undefined reference to std::__once_callable").
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls")

# -pthread: libstdc++ and libgcc of the posix-threads gcc call winpthreads,
# which GNU ld must see after them.
foreach(_kind EXE SHARED)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-L${_gcc_lib_dir} -pthread")
endforeach()
