# Shared build settings: warnings, sanitizers, the stdcall marker and the
# GoogleTest build used by both targets.

set(VELMORA_WIN32 ${WIN32})
# The product is the 32-bit build; a 64-bit Windows build of the same code
# exists only to run the suites under 64-bit Wine (see CMakePresets.json).
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELMORA_PE32 ON)
else()
  set(VELMORA_PE32 OFF)
endif()

# Floating point in SSE2 registers in the 32-bit build, as on x86-64: x87
# registers keep 64-bit mantissas and round again when a value is stored, so
# the same expression could give another last bit depending on register
# allocation, and the two builds would hand the log client different times
# for one instant. Every 32-bit x86 processor since about 2003 has SSE2.
if(VELMORA_PE32)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-msse2;-mfpmath=sse>")
endif()

# <windows.h> without the rarely used parts (the old Winsock, OLE, dialogs,
# cryptography...): half its compile time, and its own winsock.h no longer
# clashes with winsock2.h. Whatever else the platform layer needs it names.
if(VELMORA_WIN32)
  add_compile_definitions(WIN32_LEAN_AND_MEAN)
endif()

# Whether this machine can run the suites it builds. 32-bit Wine needs a
# kernel that runs 32-bit Linux programs; where it cannot, the suites of the
# 32-bit build are built but not registered (the win64 preset runs the same
# suites under 64-bit Wine), and plain tests that would run a Windows program
# report "skipped" (cmake/wine-run.sh exits with 125).
set(VELMORA_RUN_TESTS ON)
if(VELMORA_TESTS AND CMAKE_CROSSCOMPILING AND VELMORA_PE32)
  execute_process(COMMAND /usr/lib/wine/wine --version RESULT_VARIABLE _wine32 OUTPUT_QUIET
                  ERROR_QUIET)
  if(NOT _wine32 EQUAL 0)
    message(WARNING "32-bit Wine cannot run on this machine: the suites are built but not run "
                    "here; the win64 preset runs them under 64-bit Wine.")
    set(VELMORA_RUN_TESTS OFF)
  endif()
endif()

# Code only the tests run (suites, players, stand-ins, test probes,
# GoogleTest): in the optimized builds it is compiled for debugging (-Og), in
# about a third of -O2's time; the product's code keeps the build's
# optimization. Builds without suites keep it too: the benchmarks measure
# through the stand-ins. Where the suites cannot run here, nothing will run
# or debug that code: it is compiled without debug information, which makes
# its compile a third faster and its links smaller. Called at the top of each
# such folder.
macro(velmora_test_only_code)
  if(VELMORA_TESTS AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    add_compile_options(-Og)
  endif()
  if(NOT VELMORA_RUN_TESTS)
    add_compile_options(-g0)
  endif()
endmacro()

# Targets only the suites use: a build without suites (the benchmarks', the
# fuzz targets') leaves them out unless something it builds needs them.
function(velmora_test_only_targets)
  if(NOT VELMORA_TESTS)
    set_target_properties(${ARGN} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
endfunction()

# Our own code builds with every warning fatal; GoogleTest does not.
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)

# The calling convention of every exported entry and callback: stdcall on
# 32-bit Windows, nothing natively (x86-64 Windows has one convention and
# the compiler warns about the attribute). CMake chooses; the code only names it.
add_library(velmora_callconv INTERFACE)
if(VELMORA_PE32)
  target_compile_definitions(velmora_callconv INTERFACE "VELMORA_STDCALL=__attribute__((stdcall))"
                                                      "VELMORA_EXPORT=__attribute__((dllexport))")
elseif(VELMORA_WIN32)
  target_compile_definitions(velmora_callconv INTERFACE "VELMORA_STDCALL="
                                                      "VELMORA_EXPORT=__attribute__((dllexport))")
else()
  target_compile_definitions(velmora_callconv INTERFACE "VELMORA_STDCALL="
                                                      "VELMORA_EXPORT=__attribute__((visibility(\"default\")))")
endif()

if(NOT VELMORA_WIN32 AND VELMORA_SANITIZE)
  string(REPLACE ";" "," _san "${VELMORA_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()

if(VELMORA_WIN32)
  # Only system DLLs may be imported: the C++ runtime and winpthreads are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Reproducible binaries: the same commit gives the same bytes in any folder
  # at any time. No link time stamp in the PE header, and the source and
  # build folders appear in the debug information and in __FILE__ only as
  # "." and "build" (the build folder's map is given last, so that it wins
  # when the build folder lies inside the source folder).
  add_link_options(-Wl,--no-insert-timestamp)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
endif()

# Libraries that are loaded at run time by name keep their Windows names on
# Windows and become NAME.so natively (the posix backend maps ".dll" to ".so").
function(velmora_runtime_library target output_name)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output_name})
  if(VELMORA_WIN32)
    set_target_properties(${target} PROPERTIES SUFFIX ".dll")
  else()
    set_target_properties(${target} PROPERTIES SUFFIX ".so" C_VISIBILITY_PRESET hidden
                                              CXX_VISIBILITY_PRESET hidden)
  endif()
endfunction()
