# The platform interface: one suite that every backend must pass, and a small
# run-time library it loads by name, built twice under two names (a thread's
# last error is one for the program and both libraries).
foreach(lib platform_test_lib|PlatformTestLib platform_test_lib_b|PlatformTestLibB)
  string(REPLACE "|" ";" lib "${lib}")
  list(GET lib 0 target)
  list(GET lib 1 name)
  add_library(${target} SHARED platform_test_lib.cpp)
  target_link_libraries(${target} PRIVATE velmora_platform velmora_warnings)
  velmora_runtime_library(${target} ${name})
endforeach()

velmora_add_test(platform_test SOURCES platform_test.cpp LIBS velmora_platform)
add_dependencies(platform_test platform_test_lib platform_test_lib_b)
# A library every system has, named as its own loader expects. The native
# backend's error texts are the English ones whatever the locale.
if(VELMORA_WIN32)
  target_compile_definitions(platform_test PRIVATE VELMORA_TEST_SYSTEM_LIBRARY="kernel32.dll")
else()
  target_compile_definitions(platform_test PRIVATE VELMORA_TEST_SYSTEM_LIBRARY="libc.so.6"
                                                   VELMORA_TEST_ENGLISH_SYSTEM_TEXTS)
endif()
