# The pure date-time and parameter code and their suites once more, compiled
# for x87 arithmetic: the 32-bit Windows build's default, whose excess
# precision can make one expression give two results. A machine that cannot
# run 32-bit programs still sees such a difference here. The program's own
# copies of the pure sources come before the libraries' (same functions).
if(NOT VELMORA_WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
   AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64" AND NOT VELMORA_SANITIZE STREQUAL "thread")
  file(GLOB pure_params CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/params/*.cpp)
  velmora_add_test(x87_test PREFIX "x87." LABEL x87
                   SOURCES datetime_test.cpp params_test.cpp ${pure_params}
                           ${PROJECT_SOURCE_DIR}/log/DateTimePattern.cpp
                           ${PROJECT_SOURCE_DIR}/platform/DateSerial.cpp
                   LIBS velmora_log)
  target_compile_options(x87_test PRIVATE -mfpmath=387)
  set_target_properties(x87_test PROPERTIES DISABLE_PRECOMPILE_HEADERS ON)  # other flags
endif()
