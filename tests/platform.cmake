# The platform interface: one suite that every backend must pass, and a small
# run-time library it loads by name.
add_library(platform_test_lib SHARED platform_test_lib.cpp)
target_link_libraries(platform_test_lib PRIVATE velmora_platform velmora_warnings)
velmora_runtime_library(platform_test_lib PlatformTestLib)

velmora_add_test(platform_test SOURCES platform_test.cpp LIBS velmora_platform)
add_dependencies(platform_test platform_test_lib)
# A library every system has, named as its own loader expects. The native
# backend's error texts are the English ones whatever the locale.
if(VELMORA_WIN32)
  target_compile_definitions(platform_test PRIVATE VELMORA_TEST_SYSTEM_LIBRARY="kernel32.dll")
else()
  target_compile_definitions(platform_test PRIVATE VELMORA_TEST_SYSTEM_LIBRARY="libc.so.6"
                                                   VELMORA_TEST_ENGLISH_SYSTEM_TEXTS)
endif()
