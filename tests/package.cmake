# The release kit: the sample settings file against the plug-in, the log
# catalogue of OPERATIONS.md against the sources, and two builds of the
# product compared byte for byte.

# The sample settings file with the line ends the package gives it, compiled
# into the suite (no path to find under Wine).
if(TARGET velmora_plugin AND TARGET velmora_transport_double)
  set(sample ${CMAKE_CURRENT_BINARY_DIR}/package-sample/Velmora.ini)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/Velmora.ini ${sample} @ONLY NEWLINE_STYLE CRLF)
  file(READ ${sample} sample_hex HEX)
  string(REGEX REPLACE "(..)" "0x\\1," sample_bytes "${sample_hex}")
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package-sample/tests/SampleSettings.h
       CONTENT "// The release kit's sample Velmora.ini, as packaged (generated).\n#pragma once\n\nstatic const unsigned char SampleSettingsBytes[] = {${sample_bytes}};\n"
       @ONLY)
  velmora_add_test(package_test SOURCES package_test.cpp LIBS velmora_platform)
  target_include_directories(package_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/package-sample)
  add_dependencies(package_test velmora_plugin velmora_transport_double)
endif()

find_program(VELMORA_TEST_PYTHON python3)
if(VELMORA_TEST_PYTHON AND NOT CMAKE_CROSSCOMPILING)
  # Every text the product can write is in the guide's catalogue, and every
  # entry there is still written; the check itself on small trees first.
  add_test(NAME log_catalogue_script
           COMMAND ${VELMORA_TEST_PYTHON} ${PROJECT_SOURCE_DIR}/tests/log_catalogue_test.py
                   ${PROJECT_SOURCE_DIR}/cmake/check-log-catalogue.py)
  add_test(NAME log_catalogue
           COMMAND ${VELMORA_TEST_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/check-log-catalogue.py
                   ${PROJECT_SOURCE_DIR})
  set_tests_properties(log_catalogue_script log_catalogue PROPERTIES TIMEOUT 60 LABELS package)
endif()

# The product (the 32-bit build) a second time, from a copy of the sources in
# another folder: plug-in and package must come out byte for byte as here.
if(VELMORA_PE32 AND TARGET velmora_package_files)
  add_test(NAME package_reproducible
           COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/check-reproducible.sh ${CMAKE_COMMAND}
                   ${CMAKE_CPACK_COMMAND} win32 ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/reproducible)
  set_tests_properties(package_reproducible PROPERTIES TIMEOUT 1800 LABELS package)
endif()
